#ifndef TARNIX_SCHEMA_BENCHMARK_UTIL_H_
#define TARNIX_SCHEMA_BENCHMARK_UTIL_H_

// Benchmark-only: objects of the example schema and scratch directories.

#include <stdlib.h>

#include <cstdint>
#include <memory>
#include <string>

#include <boost/filesystem.hpp>
#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include "schema/schema.h"

namespace tarnix {

constexpr char kBenchmarkDeviceType[] = "caldek.orv.tarnix.DeviceMsg";

// A serialised DeviceMsg with id `n`, its hostname padding it to exactly
// `bytes` bytes (as long as the id fits).
inline std::string DeviceBody(const Schema& schema, uint64_t n, size_t bytes) {
  std::unique_ptr<google::protobuf::Message> device(
      schema.types().NewMessage(kBenchmarkDeviceType));
  const google::protobuf::Descriptor* type = device->GetDescriptor();
  const google::protobuf::Reflection* fields = device->GetReflection();
  google::protobuf::Message* id = fields->MutableMessage(device.get(), type->FindFieldByName("id"));
  id->GetReflection()->SetUInt64(id, id->GetDescriptor()->FindFieldByName("left"), n);
  const google::protobuf::FieldDescriptor* hostname = type->FindFieldByName("hostname");
  fields->SetString(device.get(), hostname, std::string(bytes, 'h'));
  const size_t excess = device->ByteSizeLong() - bytes;
  fields->SetString(device.get(), hostname, std::string(bytes - excess, 'h'));
  return device->SerializeAsString();
}

// A new directory under the system's temporary directory, named `name`
// and a random suffix; the caller removes it.
inline std::string BenchmarkTempDir(const std::string& name) {
  std::string pattern =
      (boost::filesystem::temp_directory_path() / (name + "_XXXXXX")).string();
  return mkdtemp(&pattern[0]);
}

}  // namespace tarnix

#endif  // TARNIX_SCHEMA_BENCHMARK_UTIL_H_
