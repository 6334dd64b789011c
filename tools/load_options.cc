#include "tools/load_options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace tarnix {
namespace load {
namespace {

enum Option {
  kTarget = 256,
  kBaselineLevelDb,
  kSchema,
  kClientId,
  kMode,
  kClients,
  kObjects,
  kMonitors,
  kBodyBytes,
  kSync,
  kCount,
  kDurationS,
  kHelp,
};

const struct option kLongOptions[] = {
    {"target", required_argument, nullptr, kTarget},
    {"baseline_leveldb", required_argument, nullptr, kBaselineLevelDb},
    {"schema", required_argument, nullptr, kSchema},
    {"client_id", required_argument, nullptr, kClientId},
    {"mode", required_argument, nullptr, kMode},
    {"clients", required_argument, nullptr, kClients},
    {"objects", required_argument, nullptr, kObjects},
    {"monitors", required_argument, nullptr, kMonitors},
    {"body_bytes", required_argument, nullptr, kBodyBytes},
    {"sync", no_argument, nullptr, kSync},
    {"count", required_argument, nullptr, kCount},
    {"duration_s", required_argument, nullptr, kDurationS},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// Plain decimal digits only: strtoull alone would take "-1", " 7" and "7x".
bool ParseNumber(const char* text, uint64_t max, uint64_t* value) {
  if (!std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno == ERANGE || *end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseUint32(const char* text, uint32_t* value) {
  uint64_t parsed = 0;
  if (!ParseNumber(text, std::numeric_limits<uint32_t>::max(), &parsed)) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

}  // namespace

const char* LoadModeName(LoadMode mode) {
  switch (mode) {
    case LoadMode::kGet:
      return "get";
    case LoadMode::kQuery:
      return "query";
    case LoadMode::kMonitor:
      return "monitor";
    case LoadMode::kPut:
      break;
  }
  return "put";
}

bool ParseLoadOptions(int argc, char** argv, LoadOptions* options, std::string* error) {
  optind = 0;  // full re-initialisation, so that parsing can run again
  opterr = 0;  // the caller reports *error
  bool have_count = false;
  bool have_duration = false;
  int code;
  int index = -1;
  while ((code = getopt_long(argc, argv, "", kLongOptions, &index)) != -1) {
    // Unknown options leave index alone; argv[optind - 1] then names them.
    const std::string name =
        index >= 0 ? std::string("--") + kLongOptions[index].name : argv[optind - 1];
    index = -1;
    bool number_ok = true;
    switch (code) {
      case kTarget:
        options->target = optarg;
        break;
      case kBaselineLevelDb:
        options->baseline_leveldb = optarg;
        break;
      case kSchema:
        options->schema_path = optarg;
        break;
      case kClientId:
        options->client_id = optarg;
        break;
      case kMode:
        if (std::string(optarg) == "put") {
          options->mode = LoadMode::kPut;
        } else if (std::string(optarg) == "get") {
          options->mode = LoadMode::kGet;
        } else if (std::string(optarg) == "query") {
          options->mode = LoadMode::kQuery;
        } else if (std::string(optarg) == "monitor") {
          options->mode = LoadMode::kMonitor;
        } else {
          *error = "unknown mode: " + std::string(optarg);
          return false;
        }
        break;
      case kClients:
        number_ok = ParseUint32(optarg, &options->clients) && options->clients > 0;
        break;
      case kObjects:
        number_ok = ParseUint32(optarg, &options->objects) && options->objects > 0;
        break;
      case kMonitors:
        number_ok = ParseUint32(optarg, &options->monitors);
        break;
      case kBodyBytes:
        number_ok = ParseUint32(optarg, &options->body_bytes);
        break;
      case kSync:
        options->sync = true;
        break;
      case kCount:
        number_ok = ParseNumber(optarg, std::numeric_limits<uint64_t>::max(), &options->count) &&
                    options->count > 0;
        have_count = true;
        break;
      case kDurationS:
        number_ok = ParseUint32(optarg, &options->duration_s) && options->duration_s > 0;
        have_duration = true;
        break;
      case kHelp:
        *error = "";
        return false;
      default:  // '?': unknown option or missing value
        *error = "bad option: " + name;
        return false;
    }
    if (!number_ok) {
      *error = "bad number for " + name + ": " + optarg;
      return false;
    }
  }
  if (optind < argc) {
    *error = "unexpected argument: " + std::string(argv[optind]);
    return false;
  }
  if (have_count == have_duration) {
    *error = "give exactly one of --count and --duration_s";
    return false;
  }
  if (options->target.empty() && options->baseline_leveldb.empty()) {
    *error = "give --target or --baseline_leveldb";
    return false;
  }
  if (options->mode == LoadMode::kQuery && !options->baseline_leveldb.empty()) {
    *error = "query mode needs --target: the baseline has no queries";
    return false;
  }
  if (options->mode == LoadMode::kMonitor) {
    if (!options->baseline_leveldb.empty()) {
      *error = "monitor mode needs --target: the baseline has no monitors";
      return false;
    }
    // Every monitor must see every object of a known number of transactions.
    if (options->clients != 1 || have_duration) {
      *error = "monitor mode has one writer and needs --count";
      return false;
    }
  }
  return true;
}

void PrintLoadUsage(FILE* out) {
  static const char* const kLines[] = {
      "usage: tarnix-load (--target=HOST:PORT | --baseline_leveldb=DIR)",
      "                   (--count=N | --duration_s=N) [options]",
      "  --target=HOST:PORT     the daemon to drive over gRPC",
      "  --baseline_leveldb=DIR write the same records to a fresh LevelDB under DIR",
      "  --schema=FILE          schema the baseline builds record keys with",
      "                         (default: the example schema of this build)",
      "  --mode=put|get|query|monitor",
      "                         Put transactions (default), Get by id, Query (where",
      "                         action EQUALS one of 16 texts, key selected), or one",
      "                         writer's Puts delivered to --monitors monitors",
      "  --clients=N            concurrent clients, each with its own channel (1)",
      "  --objects=N            objects per Put transaction or Get request (1)",
      "  --monitors=N           monitors of the load type, each with its own channel (0)",
      "  --body_bytes=N         serialised size of each object body (100)",
      "  --sync                 ask for synchronous writes",
      "  --count=N              transactions in all, shared by the clients",
      "  --duration_s=N         or: run for N seconds",
      "  --client_id=ID         client-id metadata (tarnix-cli)",
      "Objects are AuditEntryMsg of the example schema. Get and Query first write",
      "the objects they read. Prints one JSON line; exits 1 when a transaction",
      "failed or a monitor missed, doubled or reordered an object.",
  };
  for (const char* line : kLines) fprintf(out, "%s\n", line);
}

}  // namespace load
}  // namespace tarnix
