#include "MonitorView.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "Format.h"
#include "res/Strings.h"

namespace norvo {
namespace {

QRect R(int left, int top, int right, int bottom) { return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1)); }

// Text height 16 as the window system measures a font (the cell, not the em).
QFont PanelFont() {
  QFont font("Arial");
  font.setPixelSize(14);
  font.setWeight(QFont::Normal);
  return font;
}

}  // namespace

const std::array<PanelRects, kChannels>& PanelLayout() {
  static const std::array<PanelRects, kChannels> kLayout = {{
      {R(10, 8, 110, 25), R(10, 30, 110, 70), R(10, 70, 110, 110), R(10, 110, 110, 150)},
      {R(170, 8, 270, 25), R(170, 30, 270, 70), R(170, 70, 270, 110), R(170, 110, 270, 150)},
      {R(320, 8, 420, 25), R(320, 30, 420, 70), R(320, 70, 420, 110), R(320, 110, 420, 150)},
      {R(10, 162, 110, 185), R(10, 185, 110, 222), R(10, 225, 110, 262), R(10, 265, 110, 342)},
      {R(170, 162, 270, 185), R(170, 185, 270, 222), R(170, 225, 270, 262), R(170, 265, 270, 302)},
      {R(320, 162, 420, 185), R(320, 185, 420, 222), R(320, 225, 420, 262), R(320, 265, 420, 302)},
      // The bottom row's strip is 20 pixels high (310 to its line at 330): its
      // labels start 2 pixels below the panel's top, as the middle row's do,
      // and end at the line, so that the line never runs through them.
      {R(10, 312, 110, 330), R(10, 330, 110, 370), R(10, 370, 110, 400), R(10, 410, 110, 450)},
      {R(170, 312, 270, 330), R(170, 330, 270, 370), R(170, 370, 270, 400), R(170, 410, 270, 450)},
  }};
  return kLayout;
}

PanelTexts MakePanelTexts(const LiveReadings& r, int k, int unit_flag) {
  const float t = r.temperature[static_cast<std::size_t>(k)];
  const int h = r.humidity[static_cast<std::size_t>(k)];
  const float dew = t == kInvalidTemperature ? kInvalidTemperature : DewPoint(t, h);
  const std::string sep = ":\r\n ";
  return {"CH" + std::to_string(k + 1), UIString(ui::kTemperature) + sep + FormatTemperature(t, kFullText, unit_flag),
          UIString(ui::kHumidity) + sep + FormatHumidity(h, kFullText),
          UIString(ui::kDewPoint) + sep + FormatTemperature(dew, kFullText, unit_flag)};
}

QPixmap PaintBackground() {
  QPixmap pixmap(480, 475);
  pixmap.fill(Qt::white);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const int cols[3][2] = {{5, 154}, {160, 309}, {315, 474}};
  const int rows[3][2] = {{5, 154}, {160, 304}, {310, 449}};
  const int strips[3] = {25, 180, 330};
  const int boxes[3][3] = {{46, 87, 127}, {200, 241, 281}, {346, 387, 427}};
  const int box_left[3] = {8, 168, 318};
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) {
      const QRectF panel(QPointF(cols[col][0] + 0.5, rows[row][0] + 0.5), QPointF(cols[col][1] + 0.5, rows[row][1] + 0.5));
      QLinearGradient shade(panel.topLeft(), panel.bottomRight());
      shade.setColorAt(0, QColor(233, 233, 233));
      shade.setColorAt(1, QColor(246, 246, 246));
      p.setPen(QPen(QColor(96, 96, 96), 1));
      p.setBrush(shade);
      p.drawRoundedRect(panel, 7, 7);
      p.drawLine(QPointF(cols[col][0] + 1, strips[row] + 0.5), QPointF(cols[col][1], strips[row] + 0.5));
      if (row == 2 && col == 2) continue;  // the ninth panel stays empty
      p.setPen(QPen(QColor(170, 170, 170), 1));
      p.setBrush(Qt::white);
      for (int b = 0; b < 3; ++b) {
        p.drawRoundedRect(QRectF(box_left[col] + 0.5, boxes[row][b] + 0.5, 92, 16), 4, 4);
      }
    }
  }
  return pixmap;
}

MonitorView::MonitorView(std::function<int()> unit_flag, QWidget* parent)
    : QWidget(parent), unit_flag_(std::move(unit_flag)), background_(PaintBackground()) {
  setAttribute(Qt::WA_OpaquePaintEvent);  // the paint covers the whole area
  setFixedSize(480, 475);
}

void MonitorView::SetReadings(const LiveReadings& readings) {
  readings_ = readings;
  update();
}

void MonitorView::SetAlarms(const AlarmMarks& marks) {
  if (marks == alarms_) return;
  alarms_ = marks;
  update();
}

void MonitorView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.drawPixmap(0, 0, background_);
  p.setFont(PanelFont());
  p.setPen(Qt::black);
  const int unit = unit_flag_ ? unit_flag_() : 0;
  const int first_line = p.fontMetrics().lineSpacing();
  const auto draw = [&p, first_line](const QRect& rect, const std::string& text, bool alarm = false) {
    // Texts are clipped to their rectangles; CR LF starts the second line.
    // A value in alarm (the second line) is red, its label stays black.
    QString s = QString::fromStdString(text);
    s.replace("\r\n", "\n");
    p.save();
    p.setClipRect(alarm ? rect.adjusted(0, 0, 0, first_line - rect.height()) : rect);
    p.drawText(rect, Qt::AlignLeft | Qt::AlignTop, s);
    if (alarm) {
      p.setClipRect(rect.adjusted(0, first_line, 0, 0));
      p.setPen(QColor(220, 0, 0));
      p.drawText(rect, Qt::AlignLeft | Qt::AlignTop, s);
    }
    p.restore();
  };
  for (int k = 0; k < kChannels; ++k) {
    const PanelRects& r = PanelLayout()[static_cast<std::size_t>(k)];
    const PanelTexts t = MakePanelTexts(readings_, k, unit);
    draw(r.label, t.label);
    draw(r.temperature, t.temperature, alarms_.temperature[static_cast<std::size_t>(k)]);
    draw(r.humidity, t.humidity, alarms_.humidity[static_cast<std::size_t>(k)]);
    draw(r.dew_point, t.dew_point);
  }
}

}  // namespace norvo
