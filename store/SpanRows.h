#pragma once
// The recorded polls of a span at full resolution, for reports: read through
// the LiveReadings table (or view) and its documented columns only (Time,
// Unit, Channel, Temperature, Humidity), so that it reads any layout that
// keeps them. Read-only; no Qt.

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace norvo {

struct SpanRow {
  double time = 0;
  const std::string* unit = nullptr;  // valid during the call
  int channel = 0;
  std::optional<double> temperature;
  std::optional<double> humidity;
};

struct SpanQuery {
  double from = 0, to = 0;  // from < Time <= to
  std::string unit;         // "" for every unit
};

// Each unit's rows in time order. The table is read in its own order (the
// order serve writes, which is each unit's time order) without the time
// index; a unit's time found going back starts the read again by the index,
// after `restart` tells the caller to drop what it has. A store without the
// live readings has none. False with a message when the store cannot be read.
bool ReadSpanRows(const std::string& database, const SpanQuery& query, const std::function<void(const SpanRow&)>& row,
                  const std::function<void()>& restart, std::string* error);

// Up to `limit` distinct poll times of each unit from the span's start, for
// the typical gap between polls; and the units that have rows in the span.
bool SpanUnitTimes(const std::string& database, const SpanQuery& query, int limit,
                   std::vector<std::pair<std::string, std::vector<double>>>* units, std::string* error);

}  // namespace norvo
