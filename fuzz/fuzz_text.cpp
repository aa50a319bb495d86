// Block decoders and text parsers of the configuration dialogs, the time-field
// parser and the card-name rules, on arbitrary bytes.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "config/ParameterBlocks.h"
#include "device/LiveReadings.h"
#include "history/Import.h"
#include "store/TimeText.h"
#include "device/Card.h"
#include "history/Transfer.h"
#include "store/OleDate.h"
#include "store/RecordStore.h"

using namespace norvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (int unit = 0; unit < 2; ++unit) {
    (void)ParseTemperatureText(text, TemperatureKind::kLimit, unit);
    (void)ParseTemperatureText(text, TemperatureKind::kOffset, unit);
    (void)CheckedTenths(text, TemperatureKind::kLimit, unit);
  }
  (void)ParseHumidityText(text);
  if (!std::isfinite(LeadingNumber(text))) __builtin_trap();
  (void)IsEightAreaModel(text);

  Payload block{};
  std::memcpy(block.data(), data, std::min<std::size_t>(size, 64));
  const LiveReadings live = DecodeLiveReadings(block);
  for (int k = 0; k < 8; ++k) {
    const float t = live.temperature[k];
    if (t != 65535.0f && (t < -40.0f || t > 60.0f)) __builtin_trap();
  }
  (void)ReadMask(block, 36);

  for (DayOrder order : {DayOrder::kMonthFirst, DayOrder::kDayFirst}) {
    const double v = ParseLogTime(text, order);
    if (!std::isfinite(v)) __builtin_trap();
    (void)FromOleDate(v);
  }
  double ole = 0;
  if (ParseSpanTime(text, &ole) && FormatSpanTime(ole).empty()) __builtin_trap();

  const std::string reason = UnsafeNameReason(text);
  if (reason.empty() && (text.find('/') != std::string::npos || text.find("..") != std::string::npos)) __builtin_trap();
  if (reason.empty()) (void)card::EncodeReadCommand(text, 0, 4096);
  (void)SizeText(static_cast<std::int32_t>(size * 2654435761u));

  std::string_view fields[5];
  SplitFields(text, 5, fields);
  (void)ParseFields(fields, false, DayOrder::kMonthFirst);
  (void)UnitLabel(text);
  return 0;
}
