#pragma once
// `norvoctl serve`: unattended logging of one or more units into the record
// store, with a Prometheus endpoint and an MQTT publisher. The command line
// (logger/ServeCommand.h) fills ServeOptions; RunServe does the rest, so the
// front end only hands over. No Qt.
//
// Exit status: 0 stopped by SIGTERM, SIGINT or SIGHUP, every answered poll
// stored; 3 bad options or configuration file, or an address that cannot be
// listened on; 4 the record store cannot be used, or answered polls were not
// stored.
//
// SIGHUP ends serve through the same stopping path as SIGTERM: a service
// takes a changed configuration file at its restart.

#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace norvo::logger {

struct ServeOptions {
  std::string config_file;           // empty: none (ServeConfig.h)
  std::set<std::string> given;       // the options the command line gave, without dashes
  std::string data_dir;              // empty: the data folder
  int simulate = 0;                  // N simulated units instead of the USB devices
  std::string sim_fault;             // as norvoctl's --sim-fault, for every simulated unit
  std::vector<std::string> units;    // names or device paths; empty: every unit found, now and later
  double period_s = 20;
  double retention_days = 0;         // 0: keep every row
  bool metrics = true;
  std::string metrics_address = "127.0.0.1:9782";
  std::string mqtt;                  // HOST[:PORT]; empty: no MQTT
  std::string mqtt_prefix = "norvo";
  std::string mqtt_discovery_prefix = "homeassistant";
  std::string mqtt_client_id;
  std::string mqtt_user;
  std::string mqtt_password_file;    // else $NORVO_MQTT_PASSWORD
  std::string mqtt_ca_file;
  std::string version;
  // The stop signal the front end's own handler took before serve blocked
  // the stop signals, or 0. Unset: none.
  std::function<int()> signalled;
};

// "HOST:PORT", "[IPv6]:PORT", or HOST alone (the default port). False for
// anything else, a port outside 0..65535 included.
bool ParseHostPort(const std::string& text, int default_port, std::string* host, int* port);

int RunServe(const ServeOptions& options, std::FILE* out, std::FILE* err);

}  // namespace norvo::logger
