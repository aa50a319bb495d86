#pragma once
// A report over a span of recorded polls, written as PDF, CSV or JSON (by
// the output file's suffix). The figures come from the recorded polls at
// full resolution (store/SpanRows.h) and the units' facts from the alarm log
// (store/AlarmLog.h); domain/Report.h computes them.
//
// MakeReport is the one call for every front end: norvoctl report, and the
// Trends window's "Report..." button, which calls it off the user-interface
// thread with the span, unit and channels in view. A PDF needs QtGui: in a
// process without a Qt application (norvoctl) one on the offscreen platform
// is made for the PDF alone.

#include <filesystem>
#include <string>
#include <vector>

#include "domain/Report.h"

namespace norvo {

struct ReportRequest {
  std::filesystem::path database;  // Norvo.mdb
  double from = 0, to = 0;         // Unix seconds; from < time <= to
  std::string unit;                // "" for every unit with readings in the span
  std::vector<int> channels;       // empty: CH1..CH8
  double mkt_activation = kDefaultMktActivation;
  std::filesystem::path output;    // .pdf, .csv or .json
};

struct ReportResult {
  enum Status { kOk, kBadInput, kStoreError, kOutputError } status = kOk;
  std::string message;
  Report report;
};

// Reads the figures (no file written).
ReportResult BuildReport(const ReportRequest& request);
// Reads the figures and writes the file: replaced whole or not at all.
ReportResult MakeReport(const ReportRequest& request);

// The PDF alone (ReportPdf.cpp): A4, page numbers, the time it was made, in
// the loaded language. False with a message when it cannot be written.
bool WriteReportPdf(const Report& report, const std::filesystem::path& path, std::string* error);

}  // namespace norvo
