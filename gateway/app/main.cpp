// tiway-gateway: the TIWAY I network served over Modbus TCP. Loads the
// driver at run time (one instance per serial line, each on a thread of its
// own), polls the configured points into a cache and answers Modbus clients
// from it.
#include <CLI/CLI.hpp>
#include <iostream>

#include "gateway/app/service.h"
#include "gateway/web/users.h"

int main(int argc, char** argv) {
  gateway::Options o;
  CLI::App app{"tiway-gateway: the TIWAY I network served over Modbus TCP"};
  app.add_option("--config", o.configPath, "configuration file (TOML)");
  app.add_option("--add-web-user", o.addWebUser,
                 "add or replace a login of the status page (the password on standard input) "
                 "in the file --users names, and exit");
  app.add_option("--users", o.usersFile, "the status page's users file, for --add-web-user");
  app.add_flag("--check", o.check,
               "check the file (and its tag file) and print the plan; open no line");
  app.add_flag("--export-tags", o.exportTags,
               "write the tag file (CSV) of every point the configuration publishes by address, "
               "to start a tag file from; open no line");
  app.add_option("--listen", o.listen, "listen address (default: the file's, else 127.0.0.1)");
  app.add_option("--port", o.port, "TCP port (default: the file's, else 5020; 0 picks a free one)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--max-clients", o.maxClients, "concurrent Modbus clients (default 64)")
      ->check(CLI::Range(1, 4096));
  app.add_option(
      "--driver", o.driverPath,
      "driver library (default: libzortw.so beside the gateway, else the installed one)");
  app.add_flag("--no-coalesce", o.noCoalesce,
               "read every configured range on its own (comparison)");
  app.set_version_flag("--version", std::string("tiway-gateway ") + ZORTW_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 1;  // --help: 0; a bad command line: 1
  }
  if (!o.addWebUser.empty()) {
    if (o.usersFile.empty()) {
      std::cerr << "tiway-gateway: --add-web-user needs --users FILE\n";
      return 1;
    }
    return gateway::web::AddUser(o.usersFile, o.addWebUser);
  }
  if (o.configPath.empty()) {
    std::cerr << "tiway-gateway: --config is required\n" << app.help();
    return 1;
  }
  return gateway::Service(o).Run();
}
