#include "QtStatusItemHost.h"

#include <QActionGroup>
#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QKeySequence>

namespace murmelin {

namespace {

// Qt's shortcut map does not fire the shortcuts of a tray menu (it belongs to no window),
// so the open menu matches its entries' key equivalents itself.
class TrayMenu final : public QMenu {
protected:
    void keyPressEvent(QKeyEvent* event) override {
        const QKeySequence pressed(event->keyCombination());
        for (QAction* action : actions()) {
            if (action->isEnabled() && !action->shortcut().isEmpty() &&
                action->shortcut().matches(pressed) == QKeySequence::ExactMatch) {
                close();
                action->trigger();
                return;
            }
        }
        QMenu::keyPressEvent(event);
    }
};

} // namespace

QtStatusItemHost::QtStatusItemHost()
    : mic_(QStringLiteral(":/murmelin/mic.svg")),
      micFill_(QStringLiteral(":/murmelin/mic-fill.svg")) {
    tray_.setIcon(mic_);
    tray_.setToolTip(QStringLiteral("Murmelin"));
    // Qt opens the menu on a right click only; a left click is what most people try first.
    QObject::connect(&tray_, &QSystemTrayIcon::activated,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger && menu_ && !menu_->isVisible())
                             menu_->popup(QCursor::pos());
                     });
}

QtStatusItemHost::~QtStatusItemHost() {
    tray_.setContextMenu(nullptr);
}

bool QtStatusItemHost::show() {
    tray_.show();
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtStatusItemHost::setIcon(StatusIcon icon) {
    tray_.setIcon(icon == StatusIcon::micFill ? micFill_ : mic_);
}

QString QtStatusItemHost::menuText(const std::string& title) {
    return QString::fromStdString(title).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

void QtStatusItemHost::fill(QMenu& menu, const std::vector<MenuItem>& items) {
    QActionGroup* group = nullptr;
    for (const MenuItem& item : items) {
        switch (item.kind) {
        case MenuItem::Kind::separator:
            menu.addSeparator();
            break;
        case MenuItem::Kind::text:
            menu.addAction(menuText(item.title))->setEnabled(false);
            break;
        case MenuItem::Kind::submenu:
            fill(*menu.addMenu(menuText(item.title)), item.children);
            break;
        case MenuItem::Kind::button: {
            QAction* action = menu.addAction(menuText(item.title));
            if (!item.shortcut.empty())
                action->setShortcut(QKeySequence(QString::fromStdString(item.shortcut)));
            if (item.toggle) {
                action->setCheckable(true);
                action->setChecked(item.checked);
            } else if (item.checkable) {
                if (!group)
                    group = new QActionGroup(&menu);
                action->setCheckable(true);
                action->setChecked(item.checked);
                group->addAction(action);
            }
            if (item.action)
                QObject::connect(action, &QAction::triggered, item.action);
            break;
        }
        }
    }
}

void QtStatusItemHost::setMenu(std::vector<MenuItem> items) {
    // A fresh menu each time; the old one goes once the current event is handled, since
    // this may run while one of its actions is being triggered.
    std::unique_ptr<QMenu> menu = std::make_unique<TrayMenu>();
    fill(*menu, items);
    QObject::connect(menu.get(), &QMenu::aboutToShow, [this] {
        if (onMenuOpen_)
            onMenuOpen_();
    });
    tray_.setContextMenu(menu.get());
    if (menu_)
        menu_.release()->deleteLater();
    menu_ = std::move(menu);
}

void QtStatusItemHost::setToolTip(const std::string& text) {
    tray_.setToolTip(QString::fromStdString(text));
}

void QtStatusItemHost::setOnMenuOpen(std::function<void()> onMenuOpen) {
    onMenuOpen_ = std::move(onMenuOpen);
}

void QtStatusItemHost::terminate() {
    QCoreApplication::quit();
}

} // namespace murmelin
