#pragma once

#include <string>
#include <vector>

struct _XDisplay;

namespace murmelin::test {

/// Presses and releases keys through XTEST on a connection of its own, as a person at the
/// keyboard would: one event per call, at the server before the call returns.
class XKeys {
public:
    /// On `display` (empty: $DISPLAY); ok() is false when it cannot be opened.
    explicit XKeys(const std::string& display = "");
    ~XKeys();
    XKeys(const XKeys&) = delete;
    XKeys& operator=(const XKeys&) = delete;

    /// Presses (down) or releases a key given by keysym name ("Control_L", "space") or value.
    bool press(const std::string& keysym, bool down) const;
    bool press(unsigned long keysym, bool down) const;
    /// The key codes the server sees as held.
    std::vector<int> held() const;
    /// Releases every held key.
    void releaseAll() const;

private:
    _XDisplay* display_;
};

} // namespace murmelin::test
