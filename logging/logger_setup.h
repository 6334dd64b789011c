#ifndef TARNIX_LOGGING_LOGGER_SETUP_H_
#define TARNIX_LOGGING_LOGGER_SETUP_H_

#include <string>
#include <unordered_map>
#include <unordered_set>

namespace orv {

// Tag key -> allowed values. An empty registry admits every tag; a key with
// an empty value set admits any value.
using TagRegistry =
    std::unordered_map<std::string, std::unordered_set<std::string>>;

// The process-wide tag registry read at load time.
TagRegistry& StructuredDataRegistry();

// The component name written as comp="..." ("orv-qlx" by default).
extern const char* LoggerComp;

// Default locations read before main().
extern const char* const kStructuredDataFile;
extern const char* const kIssueFile;

// Replaces entries of `registry` from the file at `path`; a missing file
// leaves it unchanged.
void LoadStructuredData(const char* path, TagRegistry& registry);

// Sets Logger::logLevel from the value of ORV_LOG_LEVEL (nullptr = unset).
void InitLoggerFromEnvironment(const char* value);

// Sets LoggerComp from the "node-type" line of the file at `path`.
void ReadNodeTypeFromIssueFile(const char* path);

// Checks the value of ORV_SYSLOG_METHOD (nullptr = unset); lines always go
// to the local syslog.
void CheckSyslogMethod(const char* value);

// Runs all of the above with the fixed paths and the process environment.
void InitLoggingAtLoad();

}  // namespace orv

#endif  // TARNIX_LOGGING_LOGGER_SETUP_H_
