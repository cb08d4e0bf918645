#pragma once

#include "ports/StatusItem.h"

#include <QIcon>
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

namespace murmelin {

// The status item as a system-tray icon (StatusNotifierItem or XEmbed, Qt's choice) with
// a pull-down menu. Main thread; needs a QApplication.
class QtStatusItemHost final : public StatusItemHost {
public:
    QtStatusItemHost();
    ~QtStatusItemHost() override;

    void setIcon(StatusIcon icon) override;
    void setMenu(std::vector<MenuItem> items) override;
    void setToolTip(const std::string& text) override;
    void setOnMenuOpen(std::function<void()> onMenuOpen) override;
    void terminate() override;

    // Shows the tray icon; false when the desktop has no system tray right now.
    bool show();
    QSystemTrayIcon& trayIcon() { return tray_; }
    QMenu* menu() const { return menu_.get(); }

    // A title as a menu shows it verbatim: '&' would otherwise mark a mnemonic.
    static QString menuText(const std::string& title);

private:
    static void fill(QMenu& menu, const std::vector<MenuItem>& items);

    QSystemTrayIcon tray_;
    QIcon mic_;
    QIcon micFill_;
    std::unique_ptr<QMenu> menu_;
    std::function<void()> onMenuOpen_;
};

} // namespace murmelin
