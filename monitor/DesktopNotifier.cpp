#include "DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace norvo {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

}  // namespace

DesktopNotifier::DesktopNotifier(QObject* parent) : QObject(parent) {}

void DesktopNotifier::Notify(const QString& title, const QString& body, bool urgent) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    ++failed_;
    if (!warned_) qWarning("no session bus: desktop notifications are off");
    warned_ = true;
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
  QVariantMap hints;
  // Urgency: 1 normal, 2 critical (stays until the user closes it).
  hints.insert("urgency", QVariant::fromValue(static_cast<uchar>(urgent ? 2 : 1)));
  hints.insert("desktop-entry", QString("norvo"));
  hints.insert("category", QString("device"));
  // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (-1: the server's)
  call << QString("Ombrix") << 0u << QString("norvo") << title << body << QStringList() << hints << -1;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    const QDBusPendingReply<uint> reply = *w;
    if (reply.isError()) {
      ++failed_;
      if (!warned_) qWarning("desktop notification not shown: %s", qPrintable(reply.error().message()));
      warned_ = true;
    } else {
      ++answered_;
    }
    w->deleteLater();
  });
}

}  // namespace norvo
