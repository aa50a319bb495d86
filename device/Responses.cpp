#include "Responses.h"

#include <algorithm>

#include "Card.h"
#include "Encodings.h"
#include "Frames.h"

namespace norvo {

Payload* ResponseStore::Slot(int type) {
  switch (type) {
    case response::kSettings:
    case response::kSettingsAlt:
      return &settings_;
    case response::kCalibration:
      return &calibration_;
    case response::kAlarmA:
    case response::kAlarmB:
    case response::kAlarmC:
    case response::kAlarmD:
      return &alarm_[static_cast<std::size_t>(type - response::kAlarmA)];
    case response::kLive:
      return &live_;
    default:
      return nullptr;
  }
}

const Payload* ResponseStore::Slot(int type) const {
  return const_cast<ResponseStore*>(this)->Slot(type);
}

Payload ResponseStore::Block(int type) const {
  std::lock_guard lock(mutex_);
  const Payload* slot = Slot(type);
  return slot ? *slot : Payload{};
}

void ResponseStore::StoreBlock(int type, const Payload& payload, int count) {
  std::lock_guard lock(mutex_);
  if (Payload* slot = Slot(type)) {
    const int n = std::clamp(count, 0, static_cast<int>(kPayloadSize));
    std::copy_n(payload.begin(), n, slot->begin());
  }
}

void ResponseStore::FillBlock(int type, std::uint8_t value) {
  std::lock_guard lock(mutex_);
  if (Payload* slot = Slot(type)) slot->fill(value);
}

int ResponseStore::Interval() const {
  std::lock_guard lock(mutex_);
  return interval_;
}

void ResponseStore::SetInterval(int minutes) {
  std::lock_guard lock(mutex_);
  interval_ = minutes;
}

std::string ResponseStore::Identification() const {
  std::lock_guard lock(mutex_);
  return identification_;
}

void ResponseStore::SetIdentification(std::string text) {
  std::lock_guard lock(mutex_);
  identification_ = std::move(text);
}

void Dispatcher::Complete() {
  link_.TheHandshake().Answered();
}

void Dispatcher::Dispatch(const Payload& payload, int count) {
  const int type = link_.TheHandshake().Pending();
  switch (type) {
    case response::kSettings:
      store_.StoreBlock(type, payload, count);
      store_.SetUnitFlag(payload[7] == 0 ? 0 : 1);
      Complete();
      break;
    case response::kSettingsAlt:
    case response::kCalibration:
    case response::kAlarmA:
    case response::kAlarmB:
    case response::kAlarmC:
    case response::kAlarmD:
    case response::kLive:
      store_.StoreBlock(type, payload, count);
      Complete();
      break;
    case response::kFileList: {
      // One report per file; a report whose text starts with "{@}" ends the list.
      if (card::IsEndMarker(payload)) {
        Complete();
      } else if (CardReportSink* sink = sink_.load(); sink && list_receiver_.load()) {
        sink->OnListReport(payload);
        sink->CountListEntry();
      }
      break;
    }
    case response::kFileData:
      // The data handler counts, stores and signals by itself.
      if (CardReportSink* sink = sink_.load()) sink->OnReadReport(payload);
      break;
    case response::kInterval:
      store_.SetInterval(payload[1]);
      Complete();
      break;
    case response::kPermission:
      store_.SetPermission(payload[1]);
      Complete();
      break;
    case response::kIdentification:
      store_.SetIdentification(Latin1ToUtf8(payload.data(), kPayloadSize));
      Complete();
      break;
    default:
      break;  // nothing pending, a write's answer, or an unknown type: dropped
  }
}

}  // namespace norvo
