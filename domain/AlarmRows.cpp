#include "AlarmRows.h"

#include <chrono>
#include <cmath>
#include <sstream>

#include "device/Encodings.h"

namespace norvo {

AlarmLogRow ToLogRow(const AlarmRecord& r) {
  return AlarmLogRow{r.unit, r.channel, QuantityName(r.quantity), BoundName(r.bound), r.limit, r.start, r.end,
                     r.peak,  r.peak_time};
}

std::optional<AlarmRecord> FromLogRow(const AlarmLogRow& row) {
  AlarmRecord r;
  if (!ParseQuantity(row.quantity, &r.quantity) || !ParseBound(row.bound, &r.bound)) return std::nullopt;
  r.unit = row.unit;
  r.channel = row.channel;
  r.limit = row.limit;
  r.start = row.start;
  r.end = row.end;
  r.peak = row.peak;
  r.peak_time = row.peak_time;
  return r;
}

std::string EncodeLimits(const AlarmLimits& limits) {
  std::string out;
  for (int ch = 1; ch <= kChannels; ++ch) {
    for (AlarmQuantity q : {AlarmQuantity::kTemperature, AlarmQuantity::kHumidity}) {
      for (AlarmBound b : {AlarmBound::kHigh, AlarmBound::kLow}) {
        const std::optional<int>& limit = limits.At(q, b, ch);
        if (!limit) continue;
        if (!out.empty()) out += ',';
        out += std::string(QuantityName(q)) + "_" + BoundName(b) + "_" + std::to_string(ch) + "=" +
               FixedText(LimitValue(q, *limit), q == AlarmQuantity::kTemperature ? 1 : 0);
      }
    }
  }
  return out;
}

bool DecodeLimits(const std::string& text, AlarmLimits* limits) {
  *limits = AlarmLimits{};
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const std::size_t eq = item.find('='), u1 = item.find('_'), u2 = item.rfind('_', eq);
    if (eq == std::string::npos || u1 == std::string::npos || u2 == u1) return false;
    AlarmQuantity q;
    AlarmBound b;
    if (!ParseQuantity(item.substr(0, u1), &q) || !ParseBound(item.substr(u1 + 1, u2 - u1 - 1), &b)) return false;
    const int ch = LeadingInteger(item.substr(u2 + 1, eq - u2 - 1));
    if (ch < 1 || ch > kChannels) return false;
    const double v = LeadingNumber(item.substr(eq + 1));
    limits->At(q, b, ch) = static_cast<int>(std::lround(q == AlarmQuantity::kTemperature ? v * 10 : v));
  }
  return true;
}

UnitFacts FactsFromRow(const UnitFactsRow& row) {
  UnitFacts f;
  f.identification = row.identification;
  f.interval_minutes = row.interval_minutes;
  AlarmLimits limits;
  if (DecodeLimits(row.limits, &limits)) f.limits = limits;
  return f;
}

AlarmTracker::Outcome AlarmTracker::Poll(const PollSnapshot& snapshot) {
  Outcome out;
  if (!snapshot.live_read || !snapshot.alarms_read) return out;
  const double time = std::chrono::duration<double>(snapshot.time.time_since_epoch()).count();
  const AlarmLimits limits = DecodeAlarmLimits(snapshot.alarm_a, snapshot.alarm_c, snapshot.alarm_d);
  out.events = evaluator_.Evaluate(limits, snapshot.live, time);
  evaluated_ = true;
  for (const AlarmEvent& e : out.events) out.rows.push_back(ToLogRow(e.record));
  UnitFactsRow facts{unit_, time, snapshot.identification, snapshot.interval, EncodeLimits(limits)};
  if (!facts_ || !facts_->SameFacts(facts)) {
    facts_ = facts;
    out.facts = facts;
  }
  return out;
}

}  // namespace norvo
