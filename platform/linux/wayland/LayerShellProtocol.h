#pragma once

#include <wayland-client.h> // first, so that the rename below reaches only the protocol

// The layer-shell request get_layer_surface has an argument named "namespace", a C++ keyword.
#define namespace namespace_
#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#undef namespace
