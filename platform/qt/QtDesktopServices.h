#pragma once

#include "ports/Desktop.h"
#include "ports/StatusItem.h"

#include <QString>

namespace murmelin {

// The X11 CLIPBOARD and PRIMARY selections; this process serves them while it runs. Main
// thread.
class QtClipboard final : public Clipboard {
public:
    void setString(const std::string& text) override;
    void setPrimarySelection(const std::string& text) override;
};

// Fixed texts through Qt's translation tables (context "Murmelin").
class QtTranslator final : public Translator {
public:
    std::string translate(const std::string& key) const override;
};

// Upper-case UUID strings, as notification request identifiers.
class QtIdentifierSource final : public IdentifierSource {
public:
    std::string uuidString() override;
};

// The application id when the program runs from an installed prefix that holds its desktop
// entry (share/applications/<id>.desktop beside bin/), else "" so that notifications take the
// fallback route.
class DesktopAppIdentity final : public AppIdentity {
public:
    // `executableDir`: the folder of the running program.
    explicit DesktopAppIdentity(const QString& executableDir);
    std::string bundleIdentifier() const override { return identifier_; }

private:
    std::string identifier_;
};

// The application id: the desktop entry's and the icon's name, and the name on the session bus,
// which is what desktops and portals match to know the program.
inline constexpr const char* kDesktopEntryName = "io.github.murmelin.Murmelin";

} // namespace murmelin
