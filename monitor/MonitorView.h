#pragma once
// The client area of the main window: the panel artwork and, on top of it,
// label, temperature, humidity and dew point of CH1..CH8. Painting only
// paints: the values are decoded before they arrive here.

#include <QPixmap>
#include <QRect>
#include <QWidget>
#include <array>
#include <functional>

#include "device/LiveReadings.h"

namespace norvo {

struct PanelRects {
  QRect label, temperature, humidity, dew_point;
};

// The eight panels' text rectangles (left, top, right, bottom inclusive of
// left/top, exclusive of right/bottom, as the window coordinates give them).
const std::array<PanelRects, kChannels>& PanelLayout();

// The three texts of a panel, joined by ":\r\n " as the panel shows them.
struct PanelTexts {
  std::string label, temperature, humidity, dew_point;
};
PanelTexts MakePanelTexts(const LiveReadings& readings, int channel, int unit_flag);

// The 480 x 475 background: nine rounded light-grey panels with title strips
// and white value boxes.
QPixmap PaintBackground();

class MonitorView : public QWidget {
  Q_OBJECT
 public:
  // unit_flag is read at every paint (the unit's Celsius/Fahrenheit setting).
  MonitorView(std::function<int()> unit_flag, QWidget* parent = nullptr);

  void SetReadings(const LiveReadings& readings);
  const LiveReadings& Readings() const { return readings_; }

  // Channels in alarm, by quantity (index CH - 1): their values are drawn
  // in red, the panel otherwise as it is.
  struct AlarmMarks {
    std::array<bool, kChannels> temperature{}, humidity{};
    bool operator==(const AlarmMarks&) const = default;
  };
  void SetAlarms(const AlarmMarks& marks);
  const AlarmMarks& Alarms() const { return alarms_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::function<int()> unit_flag_;
  LiveReadings readings_;
  AlarmMarks alarms_;
  QPixmap background_;
};

}  // namespace norvo
