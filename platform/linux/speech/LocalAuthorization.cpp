#include "LocalAuthorization.h"

namespace murmelin {

LocalAuthorization::LocalAuthorization(std::function<bool()> microphoneRefused)
    : microphoneRefused_(std::move(microphoneRefused)) {}

AuthorizationStatus LocalAuthorization::speechStatus() const {
    return AuthorizationStatus::authorized;
}

AuthorizationStatus LocalAuthorization::microphoneStatus() const {
    return microphoneRefused_ && microphoneRefused_() ? AuthorizationStatus::denied
                                                      : AuthorizationStatus::authorized;
}

} // namespace murmelin
