#pragma once
// The response store (answer blocks filled by the reader thread) and the
// dispatcher that routes each input report by the pending response type.

#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "DeviceLink.h"
#include "Payload.h"

namespace norvo {

// The SD-card dialog's reply handlers; called on the reader thread.
class CardReportSink {
 public:
  virtual ~CardReportSink() = default;
  virtual void OnListReport(const Payload& payload) = 0;
  // Called after OnListReport returns: one more entry has been received.
  virtual void CountListEntry() = 0;
  virtual void OnReadReport(const Payload& payload) = 0;
};

class ResponseStore {
 public:
  // Copy of the block of a response type 1..8 (2 is the settings block too).
  Payload Block(int type) const;
  void StoreBlock(int type, const Payload& payload, int count);
  void FillBlock(int type, std::uint8_t value);

  int Interval() const;
  void SetInterval(int minutes);

  std::string Identification() const;
  void SetIdentification(std::string text);

  // The answer to "{Q@}": 0 the unit takes writes, anything else it does not;
  // kNoPermissionAnswer until an answer to the current query arrived.
  static constexpr int kNoPermissionAnswer = -1;
  int Permission() const { return permission_.load(); }
  void SetPermission(int value) { permission_.store(value); }

  // 0 = Celsius, non-zero = Fahrenheit, as the last settings answer said.
  int UnitFlag() const { return unit_flag_.load(); }
  void SetUnitFlag(int flag) { unit_flag_.store(flag); }

 private:
  Payload* Slot(int type);
  const Payload* Slot(int type) const;

  mutable std::mutex mutex_;  // guards every member below
  Payload live_{};
  Payload settings_{};
  Payload calibration_{};
  std::array<Payload, 4> alarm_{};  // blocks A, B, C, D
  int interval_ = 0;
  std::string identification_;
  std::atomic<int> permission_{kNoPermissionAnswer};
  std::atomic<int> unit_flag_{0};
};

class Dispatcher {
 public:
  Dispatcher(DeviceLink& link, ResponseStore& store) : link_(link), store_(store) {}

  // Reader thread: acts on the pending response type.
  void Dispatch(const Payload& payload, int count);

  // The SD-card dialog object; it lives as long as the main window.
  void SetCardSink(CardReportSink* sink) { sink_.store(sink); }
  // List entries reach the sink only while the SD-card dialog is open.
  void SetListReceiver(bool open) { list_receiver_.store(open); }

 private:
  void Complete();

  DeviceLink& link_;
  ResponseStore& store_;
  std::atomic<CardReportSink*> sink_{nullptr};
  std::atomic<bool> list_receiver_{false};
};

}  // namespace norvo
