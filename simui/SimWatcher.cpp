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
#include <QWindow>
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
      // A dialog takes its place in its own show handler, which runs after
      // this filter: the panel follows once it has.
      QMetaObject::invokeMethod(
          this,
          [this, shown = QPointer<QDialog>(dialog)] {
            if (!shown.isNull() && !dialogs_.empty() && dialogs_.back() == shown) Follow(shown);
          },
          Qt::QueuedConnection);
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
    // Placed before it is shown, so that the window manager puts its frame,
    // not its inside, at the place; the frame is taken to be the dialog's.
    panel_->adjustSize();
    const QMargins frame = dialog->windowHandle() ? dialog->windowHandle()->frameMargins() : QMargins();
    panel_->move(PlaceBeside(Occupied(), panel_->size().grownBy(frame), dialog->screen()->availableGeometry()));
    panel_->show();
  }

  // What the console's windows cover: the home window and the dialogs up.
  QRect Occupied() const {
    const QWidget* home = home_->window();
    QRect covered = home->isVisible() ? home->frameGeometry() : QRect();
    for (const QPointer<QDialog>& dialog : dialogs_) {
      if (!dialog.isNull() && dialog->isVisible()) covered |= dialog->frameGeometry();
    }
    return covered;
  }

  // Right of the console's windows where the screen has room, else left of
  // them, else below or above them at their right edge: beside, never under a
  // dialog, as a window manager may stack the dialogs over their tool window.
  // Where no side has room, at the screen's right edge over the dialogs.
  // Always whole on the screen.
  static QPoint PlaceBeside(const QRect& covered, const QSize& size, const QRect& screen) {
    constexpr int kGap = 8;
    const int y = std::clamp(covered.top(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height()));
    const int x = std::clamp(covered.right() + 1 - size.width(), screen.left(),
                             std::max(screen.left(), screen.right() + 1 - size.width()));
    const QPoint sides[] = {{covered.right() + 1 + kGap, y},
                            {covered.left() - kGap - size.width(), y},
                            {x, covered.bottom() + 1 + kGap},
                            {x, covered.top() - kGap - size.height()}};
    for (const QPoint& side : sides) {
      if (screen.contains(QRect(side, size))) return side;
    }
    return {std::max(screen.left(), screen.right() + 1 - size.width()), y};
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
