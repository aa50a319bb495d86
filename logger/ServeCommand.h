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
      "A unit goes by its USB serial number, else its USB port (udev ID_PATH); the device path is\n"
      "information only. SIGTERM, SIGINT or SIGHUP stop it: status 0. Status 3: bad options or\n"
      "configuration file, or an address that cannot be listened on; 4: the record store cannot be\n"
      "used, or answered polls were not stored. A summary per unit goes to standard output.");
  serve->add_option("--config", o.config_file,
                    "read options from FILE, one OPTION = VALUE a line (the command line wins)")
      ->type_name("FILE");
  serve->add_option("--unit", o.units,
                    "serve the unit of this name (its USB serial number, else its port) or at this device path or "
                    "link (repeatable; default: every unit found)")
      ->type_name("NAME|PATH");
  serve->add_option("--simulate", o.simulate, "serve N simulated units (SIM00001 ... at sim:unit1 ...) instead of USB")
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
  // Which options the command line gave: the configuration file does not
  // override those.
  serve->preparse_callback([&o](std::size_t) { o.given.clear(); });
  serve->parse_complete_callback([serve, &o] {
    for (const CLI::Option* option : serve->get_options()) {
      if (option->count() > 0 && !option->get_lnames().empty()) o.given.insert(option->get_lnames().front());
    }
  });
  return serve;
}

}  // namespace norvo::logger
