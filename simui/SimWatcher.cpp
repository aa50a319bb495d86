#include "SimWatcher.h"

#include <QAction>
#include <QScreen>
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPointer>
#include <QToolButton>
#include <algorithm>
#include <vector>
#include <QMenu>
#include <QMenuBar>

#include "res/Strings.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

namespace norvo {

SimWatcher::SimWatcher(sim::SimTransport& transport, QObject* parent) : DeviceWatcher(parent), transport_(transport) {
  transport_.SetHotplugListener([this](bool arrived) {
    QMetaObject::invokeMethod(this, [this, arrived] { emit DeviceChanged(arrived); }, Qt::QueuedConnection);
  });
}

SimWatcher::~SimWatcher() { transport_.SetHotplugListener(nullptr); }

namespace {

// The menu's commands on a small tool window that a modal dialog does not
// block: while a dialog (History, Graph, ...) is up, the window is that
// dialog's child, so an unplug can be tried in the middle of a download.
class SimulationPanel : public QObject {
 public:
  SimulationPanel(QWidget* home, const QList<QAction*>& actions) : QObject(home), home_(home) {
    panel_ = new QWidget(home, Qt::Tool);
    panel_->setObjectName("sim-panel");
    panel_->setWindowTitle(QString::fromUtf8(UIString(ui::kSimulationMenu)));
    auto* row = new QHBoxLayout(panel_);
    for (QAction* action : actions) {
      auto* button = new QToolButton(panel_);
      button->setDefaultAction(action);
      row->addWidget(button);
    }
    qApp->installEventFilter(this);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* dialog = qobject_cast<QDialog*>(watched);
    if (dialog == nullptr || qobject_cast<QMessageBox*>(dialog) != nullptr || !dialog->isWindow()) return false;
    if (event->type() == QEvent::Show && dialog->isModal()) {
      dialogs_.push_back(dialog);
      Follow(dialog);
    } else if (event->type() == QEvent::Hide && !dialogs_.empty() && dialogs_.back() == dialog) {
      dialogs_.pop_back();
      while (!dialogs_.empty() && (dialogs_.back().isNull() || !dialogs_.back()->isVisible())) dialogs_.pop_back();
      Follow(dialogs_.empty() ? nullptr : dialogs_.back().data());
    }
    return false;
  }

 private:
  void Follow(QDialog* dialog) {
    if (panel_.isNull()) return;  // went with a dialog deleted while it was up
    panel_->hide();
    if (dialog == nullptr) {
      panel_->setParent(home_, Qt::Tool);
      return;
    }
    panel_->setParent(dialog, Qt::Tool);
    // Placed once shown: its buttons take their final size only then.
    panel_->show();
    panel_->move(PlaceBeside(dialog->frameGeometry(), panel_->frameGeometry().size(),
                             dialog->screen()->availableGeometry()));
  }

  // Right of the dialog where the screen has room, else left of it, else at
  // the screen's right edge over the dialog; never below the screen.
  static QPoint PlaceBeside(const QRect& dialog, const QSize& size, const QRect& screen) {
    constexpr int kGap = 8;
    int x = dialog.right() + 1 + kGap;
    if (x + size.width() - 1 > screen.right()) {
      x = dialog.left() - kGap - size.width();
      if (x < screen.left()) x = screen.right() + 1 - size.width();
    }
    const int y = std::clamp(dialog.top(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height()));
    return {std::max(x, screen.left()), y};
  }

  QWidget* home_;
  QPointer<QWidget> panel_;
  std::vector<QPointer<QDialog>> dialogs_;
};

}  // namespace

void AddSimulationMenu(QMenuBar* bar, sim::SimUnit& unit) {
  QMenu* simulation = bar->addMenu(QString::fromUtf8(UIString(ui::kSimulationMenu)));
  QAction* unplug = simulation->addAction(QString::fromUtf8(UIString(ui::kSimUnplug)));
  unplug->setObjectName("sim-unplug");
  QObject::connect(unplug, &QAction::triggered, bar, [&unit] { unit.Unplug(); });
  QAction* plug = simulation->addAction(QString::fromUtf8(UIString(ui::kSimPlug)));
  plug->setObjectName("sim-plug");
  QObject::connect(plug, &QAction::triggered, bar, [&unit] { unit.Plug(); });
  QAction* refuse = simulation->addAction(QString::fromUtf8(UIString(ui::kSimOtherScreen)));
  refuse->setObjectName("sim-refuse");
  refuse->setCheckable(true);
  QObject::connect(refuse, &QAction::toggled, bar, [&unit](bool on) { unit.SetRefuseWrites(on); });
  new SimulationPanel(bar->window(), simulation->actions());
}

}  // namespace norvo
