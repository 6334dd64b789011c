#ifndef TARNIX_SERVER_COMMAND_LINE_H_
#define TARNIX_SERVER_COMMAND_LINE_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarnix {

// The fixed build number shown in the usage banner and the start-up log.
const char* GetBuildNumber();

// What the daemon is told on its command line.
struct ServerOptions {
  std::string schema_path;
  std::string schema_package_prefix = "caldek.orv.tarnix";
  std::string database_dir;
  uint64_t txn_log_size = 52428800;
  std::vector<std::string> listen;  // in command-line order, duplicates kept
  uint32_t metrics_report_interval_sec = 300;
  bool disable_flush_ephemeral = false;
  bool merkle_sort_protobufs = false;
  // Directory of the server's TLS key and certificate (--x_tls_dir, not in
  // the usage).
  std::string tls_dir = "/config/caldek/orv-tarnix";

  std::string key_path() const { return tls_dir + "/tarnix-privkey.pem"; }
  std::string certificate_path() const { return tls_dir + "/tarnix-cert.pem"; }
};

// Parses the long options of `argv` with getopt_long, acting on each in
// order: the log-level options and --stdout take effect at once, so a later
// option of one kind replaces an earlier one. Arguments that are not options
// are ignored. Returns false when the usage text must be shown: an unknown
// option or a missing value (getopt_long has printed its diagnostic to
// stderr), a level outside its range or a --txn_log_size that is negative or
// not a number (said on stderr the same way). A malformed interval is logged
// as a WARNING and skipped. Throws boost::bad_lexical_cast for a level value
// that is not a number. Not thread-safe (getopt's globals).
bool ParseCommandLine(int argc, char** argv, ServerOptions* options);

// True when the schema, the database and at least one endpoint are given.
bool HasRequiredOptions(const ServerOptions& options);

// The usage text, written to `out`.
void PrintUsage(FILE* out);

}  // namespace tarnix

#endif  // TARNIX_SERVER_COMMAND_LINE_H_
