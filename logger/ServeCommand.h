#pragma once
// The `serve` command's options on CLI11, for norvoctl's command line. Kept
// here beside RunServe so that the front end adds the command with one call
// and hands the options over with another. Header-only: only the front end,
// which links CLI11, includes it.

#include <CLI/CLI.hpp>

#include "Serve.h"

namespace norvo::logger {

inline CLI::App* DefineServeCommand(CLI::App& app, ServeOptions& o) {
  CLI::App* serve = app.add_subcommand("serve", "poll units unattended into the record store, Prometheus and MQTT");
  serve->footer(
      "Every answered poll goes into the table LiveReadings of Norvo.mdb (export --live reads it), to\n"
      "GET /metrics (Prometheus text format) and, with --mqtt, to the broker with Home Assistant discovery.\n"
      "A unit that is unplugged is looked for every second and picked up again when it is back.\n"
      "SIGTERM or SIGINT stop it: status 0. Status 3: bad options or an address that cannot be\n"
      "listened on; 4: the record store cannot be used. A summary per unit goes to standard output.");
  serve->add_option("--unit", o.units, "serve the unit at this device path (repeatable; default: every unit found)")
      ->type_name("PATH");
  serve->add_option("--simulate", o.simulate, "serve N simulated units (sim:unit1 ... sim:unitN) instead of USB")
      ->type_name("N")
      ->expected(0, 1)
      ->default_str("1")
      ->check(CLI::Range(1, 64));
  serve->add_option("--period", o.period_s, "seconds between polls (default 20; a longer poll is followed at once)")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  serve->add_option("--retention", o.retention_days, "delete live readings older than DAYS (default 0: keep all)")
      ->type_name("DAYS")
      ->check(CLI::NonNegativeNumber);
  CLI::Option* metrics = serve->add_option("--metrics", o.metrics_address,
                                           "serve GET /metrics on HOST:PORT (default 127.0.0.1:9782; port 0: any)")
                             ->type_name("HOST:PORT");
  serve->add_flag_callback("--no-metrics", [&o] { o.metrics = false; }, "no Prometheus endpoint")->excludes(metrics);
  serve->add_option("--mqtt", o.mqtt, "publish to the MQTT broker at HOST[:PORT] (port 1883 unless given)")
      ->type_name("HOST[:PORT]");
  serve->add_option("--mqtt-prefix", o.mqtt_prefix, "topic prefix (default norvo)")->type_name("TOPIC");
  serve->add_option("--mqtt-discovery-prefix", o.mqtt_discovery_prefix,
                    "Home Assistant discovery prefix (default homeassistant)")
      ->type_name("TOPIC");
  serve->add_option("--mqtt-client-id", o.mqtt_client_id, "client id (default norvo-HOSTNAME-PID)")->type_name("ID");
  serve->add_option("--mqtt-user", o.mqtt_user, "user name for the broker")->type_name("NAME");
  serve->add_option("--mqtt-password-file", o.mqtt_password_file,
                    "the broker password, first line of FILE (default: $NORVO_MQTT_PASSWORD)")
      ->type_name("FILE");
  serve->add_option("--mqtt-cafile", o.mqtt_ca_file, "connect with TLS, trusting this CA certificate")->type_name("FILE");
  return serve;
}

}  // namespace norvo::logger
