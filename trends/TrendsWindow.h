#pragma once
// The Trends window: a unit's recorded history, whichever process recorded
// it, as lines per channel (CH1-CH8, several at once, each in its own
// colour) of one quantity over a span (1 h to all, or start and end). Every
// read runs on a worker thread; the chart gets at most one bucket per pixel
// column (the roll-up's mean with its minimum-maximum band, or every poll
// for short spans), gaps stay gaps, the unit's enabled alarm limits are
// drawn as dashed lines. Wheel zoom, drag, double click back to the span;
// "Save" as PNG, PDF or CSV (every poll of the span). Below the chart, per
// shown channel, the span's minimum and maximum with their times, mean and
// count.

#include <QWidget>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "TrendsQuery.h"
#include "session/PollingWorker.h"

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QTableWidget;
class QTimer;
class QCustomPlot;

namespace norvo {

// What the window shows: for a report over the same span and channels.
struct TrendsView {
  std::string unit;
  LiveQuantity quantity = LiveQuantity::kTemperature;
  std::int64_t from = 0, to = 0;  // Unix seconds, [from, to): the chart's visible range
  std::vector<int> channels;      // 1..8
};

class TrendsWindow : public QWidget {
  Q_OBJECT
 public:
  enum Span { k1Hour, k24Hours, k7Days, k30Days, k1Year, kAll, kCustom };

  // databases: the stores to read, each opened read-only (missing ones are left out).
  explicit TrendsWindow(std::vector<std::string> databases, QWidget* parent = nullptr);
  ~TrendsWindow() override;

  // The unit the console reaches ("" none: the first recorded unit).
  void SetUnit(const std::string& name);
  // User-interface thread: the console's last poll (limits, °C/°F, the live
  // end of the chart).
  void OnPoll(const PollSnapshot& snapshot, int unit_flag);

  void SetSpan(Span span);
  void SetCustomSpan(std::int64_t from, std::int64_t to);
  void SetQuantity(LiveQuantity quantity);
  void SetChannel(int channel, bool shown);

  TrendsView View() const;
  // Saves by the file name's extension (.png, .pdf, .csv); CSV is written on
  // the worker and done when Saved is emitted.
  bool SaveTo(const QString& path);
  // A report (PDF, CSV or JSON by the extension) over the span, unit and
  // channels in view, written on a worker thread; Reported says how it went.
  void ReportTo(const QString& path);
  // Where another button goes (a report).
  QHBoxLayout* ButtonRow() const { return buttons_; }
  QCustomPlot* Plot() const { return plot_; }
  QTableWidget* Table() const { return table_; }
  bool Busy() const { return pending_ > 0; }

 signals:
  // A query's points are on the chart and its figures in the table.
  void Drawn();
  // The span, unit, quantity or channels in view changed (after Drawn).
  void ViewChanged();
  void Saved(bool ok, const QString& path);
  // message: the file written, or why it was not.
  void Reported(bool ok, const QString& message);

 private:
  QGridLayout* BuildControls();
  QHBoxLayout* BuildChannelRow();
  void BuildChart();  // one line and a min-max band per channel
  void BuildFigures();
  void WireSignals();
  void Query();
  void QueryRange(std::int64_t from, std::int64_t to);
  void Show(const trends::Result& result, std::int64_t from, std::int64_t to);
  void FillTable(const trends::Result& result);
  void DrawLimits();
  void RefreshUnits();
  void SpanChanged();
  void ShowSpanTimes();
  void AskSave();
  void AskReport();
  trends::Request MakeRequest(std::int64_t from, std::int64_t to) const;
  double Display(double value) const;  // °C to °F where the unit shows °F

  std::vector<std::string> databases_;
  QComboBox* unit_ = nullptr;
  QComboBox* quantity_ = nullptr;
  QComboBox* span_ = nullptr;
  QDateTimeEdit* start_ = nullptr;
  QDateTimeEdit* end_ = nullptr;
  std::array<QCheckBox*, kLiveChannels> channels_{};
  QHBoxLayout* buttons_ = nullptr;
  QPushButton* save_ = nullptr;
  QPushButton* report_ = nullptr;
  std::vector<trends::AlarmBand> bands_;  // the last result's alarms
  QLabel* note_ = nullptr;
  QCustomPlot* plot_ = nullptr;
  QTableWidget* table_ = nullptr;
  QTimer* requery_ = nullptr;  // a zoom or a pan settles before it is read again
  std::string wanted_unit_;
  std::int64_t from_ = 0, to_ = 0;  // the span chosen (double click returns to it)
  std::int64_t shown_from_ = 0, shown_to_ = 0;  // the range the last result covers
  bool fahrenheit_ = false;
  PollSnapshot limits_;  // the last poll's alarm blocks
  bool has_limits_ = false;
  bool drawing_ = false;  // the window moves the axis itself
  int pending_ = 0;       // queries in flight
  // Which query is the latest: an older one's result is dropped.
  std::shared_ptr<std::atomic<std::uint64_t>> generation_ = std::make_shared<std::atomic<std::uint64_t>>(0);
};

}  // namespace norvo
