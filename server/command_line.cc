#include "server/command_line.h"

#include <cstdio>

#include <getopt.h>

#include <boost/lexical_cast.hpp>

#include "logging/logger.h"
#include "platform/util/library_log.h"
#include "platform/wft/workflow_util.h"

namespace tarnix {
namespace {

enum Option {
  kSchema = 256,
  kSchemaPackagePrefix,
  kDatabase,
  kTxnLogSize,
  kListen,
  kLogLevel,
  kRpcLogLevel,
  kWftLogLevel,
  kWftTraceLevel,
  kProfPrefix,
  kCpuProfInterval,
  kMemProfInterval,
  kMemStatsInterval,
  kMemReleaseInterval,
  kMetricsReportInterval,
  kMetricsPublisher,
  kMetricsStoreSetting,
  kDisableFlushEphemeral,
  kStdout,
  kMerkleSortProtobufs,
  kTlsDir,
};

const struct option kLongOptions[] = {
    {"schema", required_argument, nullptr, kSchema},
    {"schema_package_prefix", required_argument, nullptr, kSchemaPackagePrefix},
    {"database", required_argument, nullptr, kDatabase},
    {"txn_log_size", required_argument, nullptr, kTxnLogSize},
    {"listen", required_argument, nullptr, kListen},
    {"log_level", required_argument, nullptr, kLogLevel},
    {"rpc_log_level", required_argument, nullptr, kRpcLogLevel},
    {"wft_log_level", required_argument, nullptr, kWftLogLevel},
    {"wft_trace_level", required_argument, nullptr, kWftTraceLevel},
    {"prof_prefix", required_argument, nullptr, kProfPrefix},
    {"cpu_prof_interval", required_argument, nullptr, kCpuProfInterval},
    {"mem_prof_interval", required_argument, nullptr, kMemProfInterval},
    {"mem_stats_interval", required_argument, nullptr, kMemStatsInterval},
    {"mem_release_interval", required_argument, nullptr, kMemReleaseInterval},
    {"metrics_report_interval", required_argument, nullptr, kMetricsReportInterval},
    {"metrics_bee_publisher", no_argument, nullptr, kMetricsPublisher},
    {"metrics_text_publisher", no_argument, nullptr, kMetricsPublisher},
    {"metrics_rpc_publisher", no_argument, nullptr, kMetricsPublisher},
    {"metrics_store_path", optional_argument, nullptr, kMetricsStoreSetting},
    {"metrics_store_max_size", optional_argument, nullptr, kMetricsStoreSetting},
    {"metrics_store_max_files", optional_argument, nullptr, kMetricsStoreSetting},
    {"metrics_store_min_free_space", optional_argument, nullptr, kMetricsStoreSetting},
    {"metrics_file_name", optional_argument, nullptr, kMetricsStoreSetting},
    {"metrics_file_max_size", optional_argument, nullptr, kMetricsStoreSetting},
    {"disable_flush_ephemeral", no_argument, nullptr, kDisableFlushEphemeral},
    {"stdout", no_argument, nullptr, kStdout},
    {"merkle_sort_protobufs", no_argument, nullptr, kMerkleSortProtobufs},
    // Not in the usage; named so that no listed option's abbreviation changes.
    {"x_tls_dir", required_argument, nullptr, kTlsDir},
    {nullptr, 0, nullptr, 0},
};

// A level option's value; false, after saying so on stderr as getopt_long
// does for its own refusals, when it is outside 0..max. Throws
// boost::bad_lexical_cast when it is not a number.
bool ParseLevel(const char* program, const char* option, const char* text, int max, int* level) {
  *level = boost::lexical_cast<int>(text);
  if (*level >= 0 && *level <= max) return true;
  std::fprintf(stderr, "%s: option '--%s' takes a level from 0 to %d, not '%s'\n", program, option,
               max, text);
  return false;
}

// A size option's value in bytes; false, after saying so on stderr, when it
// is negative or not a number (a "-1" would otherwise wrap to the largest
// size).
bool ParseSize(const char* program, const char* option, const char* text, uint64_t* size) {
  if (text[0] != '-') {
    try {
      *size = boost::lexical_cast<uint64_t>(text);
      return true;
    } catch (const boost::bad_lexical_cast&) {
    }
  }
  std::fprintf(stderr, "%s: option '--%s' takes a size in bytes, not '%s'\n", program, option,
               text);
  return false;
}

// An interval option's value; a malformed one is logged under `name`.
bool ParseInterval(const char* text, const char* name, uint32_t* value) {
  try {
    *value = boost::lexical_cast<uint32_t>(text);
    return true;
  } catch (const boost::bad_lexical_cast& e) {
    TARNIX_LOG(orv::WARNING, nullptr, "%s String2Uint32_t failed, error: %s", name, e.what());
    return false;
  }
}

}  // namespace

const char* GetBuildNumber() { return "25145108"; }

bool ParseCommandLine(int argc, char** argv, ServerOptions* options) {
  optind = 0;  // full re-initialisation, so that parsing can run again
  int code;
  while ((code = getopt_long(argc, argv, "", kLongOptions, nullptr)) != -1) {
    int level = 0;
    uint32_t ignored = 0;
    switch (code) {
      case kSchema:
        options->schema_path = optarg;
        break;
      case kSchemaPackagePrefix:
        options->schema_package_prefix = optarg;
        break;
      case kDatabase:
        options->database_dir = optarg;
        break;
      case kTxnLogSize:
        if (!ParseSize(argv[0], "txn_log_size", optarg, &options->txn_log_size)) return false;
        break;
      case kListen:
        options->listen.emplace_back(optarg);
        break;
      case kLogLevel:
        if (!ParseLevel(argv[0], "log_level", optarg, 6, &level)) return false;
        orv::Logger::logLevel = level;
        break;
      case kRpcLogLevel:
        if (!ParseLevel(argv[0], "rpc_log_level", optarg, 6, &level)) return false;
        orv::rpc::library_log_level = level;
        orv::net::library_log_level = level;
        break;
      case kWftLogLevel:
        if (!ParseLevel(argv[0], "wft_log_level", optarg, 6, &level)) return false;
        orv::wft::library_log_level = level;
        break;
      case kWftTraceLevel:
        if (!ParseLevel(argv[0], "wft_trace_level", optarg, 4, &level)) return false;
        orv::wft::WorkflowUtil::Configure(orv::wft::WorkflowUtil::Enabled(),
                                          static_cast<uint32_t>(level));
        break;
      case kProfPrefix:
      case kMetricsPublisher:
      case kMetricsStoreSetting:
        break;  // accepted for compatibility; nothing uses them
      case kCpuProfInterval:
        ParseInterval(optarg, "cpu_profile_interval", &ignored);
        break;
      case kMemProfInterval:
        ParseInterval(optarg, "mem_profile_interval", &ignored);
        break;
      case kMemStatsInterval:
        ParseInterval(optarg, "mem_stats_interval", &ignored);
        break;
      case kMemReleaseInterval:
        ParseInterval(optarg, "mem_release_interval", &ignored);
        break;
      case kMetricsReportInterval: {
        uint32_t interval = 0;
        if (ParseInterval(optarg, "metrics_report_interval", &interval)) {
          options->metrics_report_interval_sec = interval;
        }
        break;
      }
      case kDisableFlushEphemeral:
        options->disable_flush_ephemeral = true;
        break;
      case kStdout:
        orv::LogToStdout = true;
        break;
      case kMerkleSortProtobufs:
        options->merkle_sort_protobufs = true;
        break;
      case kTlsDir:
        options->tls_dir = optarg;
        break;
      default:  // '?': getopt_long has printed why
        return false;
    }
  }
  return true;
}

bool HasRequiredOptions(const ServerOptions& options) {
  return !options.schema_path.empty() && !options.database_dir.empty() &&
         !options.listen.empty();
}

void PrintUsage(FILE* out) {
  fprintf(out, "tarnix-server (build: %s)\n", GetBuildNumber());
  static const char* const kLines[] = {
      "",
      "Other options:",
      "  --schema=FILE                         set schema file",
      "  --schema_package_prefix=STRING        set schema file's package prefix",
      "  --database=DIR                        set database dir",
      "  --txn_log_size=INTEGER                set max size of transaction log (in bytes)",
      "  --listen=ENDPOINT ...                 set tarnix-server listen endpoint",
      "Optional options:",
      "  --log_level=0..6                      set the log level (0-NONE, 6-TRIVIA)",
      "  --rpc_log_level=0..6                  set the log level for net/rpc (0-NONE, 6-TRIVIA)",
      "  --wft_log_level=0..6                  (QLX)set the log level for wft(workflow "
      "tracing) (0-NONE, 6-TRIVIA)",
      "  --wft_trace_level=0..4                (QLX)set the trace level for wft(workflow "
      "tracing) (0-NONE, 4-TRIVIA)",
      "  --prof_prefix=PREFIX                  set the prefix for profiling dumps",
      "  --cpu_prof_interval=SECS              set the interval for CPU profiling",
      "  --mem_prof_interval=SECS              set the interval for Mem profiling",
      "  --mem_stats_interval=SECS             set the interval for logging Mem Stats",
      "  --mem_release_interval=SECS           set the interval to release memory",
      "  --metrics_bee_publisher               add bee publisher to metrics",
      "  --metrics_text_publisher              add text publisher to metrics",
      "  --metrics_rpc_publisher               add rpc publisher to metrics",
      "  --metrics_store_path=DIR              set the metrics folder",
      "  --metrics_store_max_size=SIZE         set the metrics folder max size (e.g. 5 MiB)",
      "  --metrics_store_max_files=N           set the metrics folder maximum number of files",
      "  --metrics_store_min_free_space=SIZE   set the metrics folder required space (e.g. 100 "
      "MiB)",
      "  --metrics_file_name=FILE              set the metrics log file",
      "  --metrics_file_max_size=SIZE          set the metrics log file maximum size (e.g. 500 "
      "KiB)",
      "  --metrics_report_interval=SECS        set the metrics report interval",
      "  --disable_flush_ephemeral             disable flushing ephemeral objects",
      "  --stdout                              redirect the output to standard out",
  };
  for (const char* line : kLines) fprintf(out, "%s\n", line);
}

}  // namespace tarnix
