#include "jobs/job_file.h"

#include <algorithm>
#include <span>

#include <nlohmann/json.hpp>

#include "base/base64.h"
#include "crypto/crypto.h"

namespace qz::jobs {

namespace {

using nlohmann::json;

bool IsOverrideName(std::string_view name) {
  return std::find(std::begin(kOverrideNames), std::end(kOverrideNames), name) !=
         std::end(kOverrideNames);
}

// A job's serial source: {"format", "start"} for a counter (as jobs made before lists and
// programs have it, so their signatures hold), {"list"} or {"program"}; null for none.
json SerialJson(const std::optional<JobSerial>& serial) {
  if (!serial) return nullptr;
  if (!serial->list.empty()) return {{"list", serial->list}};
  if (!serial->program.empty()) return {{"program", serial->program}};
  return {{"format", serial->format}, {"start", serial->start}};
}

// The job without its signature, as one JSON object.
json JobObject(const Job& job) {
  json overrides = json::object();
  for (const auto& [name, value] : job.overrides) overrides[name] = value;
  json object = {
      {"name", job.name},
      {"revision", job.revision},
      {"note", job.note},
      {"image",
       {{"name", job.image_name}, {"sha256", job.image_sha256}, {"base64", Base64Encode(job.image)}}},
      {"mode", job.factory ? "factory" : "developer"},
      {"evb", job.evb},
      {"overrides", overrides},
      {"target", {{"vid", job.vid}, {"pid", job.pid}}},
      {"firmware_id", job.firmware_id ? json(*job.firmware_id) : json(nullptr)},
      {"serial", SerialJson(job.serial)},
      {"stations", job.stations},
  };
  // only in jobs that fix them, so the bytes signed before they existed stay the same
  if (FixesResults(job)) {
    object["results"] = {{"program", job.result_program}, {"url", job.result_url}};
  }
  return object;
}

// Reading fields, each with a message naming the field.
class Reader {
 public:
  explicit Reader(std::string* error) : error_(error) {}

  const json* Field(const json& object, const char* name, const char* path) {
    const auto it = object.find(name);
    if (it == object.end()) {
      Fail(std::string("the job file has no field ") + path);
      return nullptr;
    }
    return &*it;
  }
  bool String(const json& object, const char* name, const char* path, std::string* out) {
    const json* field = Field(object, name, path);
    if (field == nullptr) return false;
    if (!field->is_string()) return Fail(std::string("the job file's ") + path + " is not a text");
    *out = field->get<std::string>();
    return true;
  }
  bool Object(const json& object, const char* name, const char* path, const json** out,
              std::initializer_list<const char*> known) {
    const json* field = Field(object, name, path);
    if (field == nullptr) return false;
    if (!field->is_object()) return Fail(std::string("the job file's ") + path + " is not an object");
    if (!OnlyKnown(*field, path, known)) return false;
    *out = field;
    return true;
  }
  bool OnlyKnown(const json& object, const char* path, std::initializer_list<const char*> known) {
    for (const auto& item : object.items()) {
      const std::string& key = item.key();
      if (std::none_of(known.begin(), known.end(), [&](const char* name) { return key == name; })) {
        return Fail(std::string("the job file's ") + path + " has an unknown field \"" + key + "\"");
      }
    }
    return true;
  }
  bool Fail(const std::string& message) {
    *error_ = message;
    return false;
  }

 private:
  std::string* error_;
};

// Where a JSON parser stopped (`byte`: 1-based) and what it found there, for people.
std::string WhereUnexpected(std::string_view text, std::size_t byte) {
  const std::size_t at = std::min(byte, text.size()) - 1;
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < at; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  const unsigned char c = static_cast<unsigned char>(text[at]);
  std::string found;
  if (c >= 0x20 && c < 0x7F) {
    found = std::string("\"") + static_cast<char>(c) + "\"";
  } else {
    constexpr char kDigits[] = "0123456789ABCDEF";
    found = std::string("the byte 0x") + kDigits[c >> 4] + kDigits[c & 0xF];
  }
  return "unexpected " + found + " at line " + std::to_string(line) + ", column " +
         std::to_string(at - line_start + 1);
}

}  // namespace

std::vector<std::uint8_t> SignedBytes(const Job& job) {
  const std::string text = std::string(kJobFormatName) + "\n" + std::to_string(kJobFormatVersion) +
                           "\n" + JobObject(job).dump();
  return {text.begin(), text.end()};
}

std::string FormatJob(const Job& job) {
  json file = {{"format", kJobFormatName}, {"version", kJobFormatVersion}, {"job", JobObject(job)}};
  if (job.Signed()) {
    file["signature"] = {{"algorithm", "ECDSA P-256 SHA-256"},
                         {"key", job.key_id},
                         {"value", Base64Encode(job.signature)}};
    if (!job.public_key.empty()) file["signature"]["public_key"] = Base64Encode(job.public_key);
  }
  return file.dump(2) + "\n";
}

std::optional<Job> ParseJob(std::string_view text, std::string* error) {
  json file;
  try {
    file = json::parse(text);
  } catch (const json::parse_error& e) {
    // (an error found only at the end of the text: the file stops early)
    if (text.empty() || e.byte > text.size()) {
      *error = "the job file is truncated: its JSON ends early";
    } else {
      *error = "the job file is not valid JSON: " + WhereUnexpected(text, e.byte);
    }
    return std::nullopt;
  } catch (const json::out_of_range&) {
    *error = "the job file is not valid JSON: it holds a number too large to read";
    return std::nullopt;
  } catch (const json::exception&) {
    *error = "the job file is not valid JSON";
    return std::nullopt;
  }
  Reader read(error);
  if (!file.is_object() || !file.contains("format") || file["format"] != kJobFormatName) {
    *error = "not a qz670x-mp job file (no \"format\": \"qz670x-mp job\")";
    return std::nullopt;
  }
  if (!file.contains("version") || !file["version"].is_number_integer()) {
    *error = "the job file has no format version";
    return std::nullopt;
  }
  if (file["version"] != kJobFormatVersion) {
    *error = "the job file has format version " + file["version"].dump() +
             "; this program reads version " + std::to_string(kJobFormatVersion);
    return std::nullopt;
  }
  if (!read.OnlyKnown(file, "top level", {"format", "version", "job", "signature"})) return std::nullopt;

  Job job;
  const json* object = nullptr;
  const json* image = nullptr;
  const json* target = nullptr;
  std::string image_base64;
  std::string mode;
  if (!read.Object(file, "job", "job", &object,
                   {"name", "revision", "note", "image", "mode", "evb", "overrides", "target",
                    "firmware_id", "serial", "stations", "results"}) ||
      !read.String(*object, "name", "job.name", &job.name) ||
      !read.String(*object, "revision", "job.revision", &job.revision) ||
      !read.String(*object, "note", "job.note", &job.note) ||
      !read.Object(*object, "image", "job.image", &image, {"name", "sha256", "base64"}) ||
      !read.String(*image, "name", "job.image.name", &job.image_name) ||
      !read.String(*image, "sha256", "job.image.sha256", &job.image_sha256) ||
      !read.String(*image, "base64", "job.image.base64", &image_base64) ||
      !read.String(*object, "mode", "job.mode", &mode) ||
      !read.Object(*object, "target", "job.target", &target, {"vid", "pid"}) ||
      !read.String(*target, "vid", "job.target.vid", &job.vid) ||
      !read.String(*target, "pid", "job.target.pid", &job.pid)) {
    return std::nullopt;
  }
  if (job.name.empty()) {
    *error = "the job has no name";
    return std::nullopt;
  }
  if (mode != "developer" && mode != "factory") {
    *error = "the job's mode is \"" + mode + "\", not \"developer\" or \"factory\"";
    return std::nullopt;
  }
  job.factory = mode == "factory";
  const json* evb = read.Field(*object, "evb", "job.evb");
  if (evb == nullptr) return std::nullopt;
  if (!evb->is_boolean()) return read.Fail("the job file's job.evb is not true or false"), std::nullopt;
  job.evb = evb->get<bool>();

  const json* overrides = read.Field(*object, "overrides", "job.overrides");
  if (overrides == nullptr) return std::nullopt;
  if (!overrides->is_object()) {
    *error = "the job file's job.overrides is not an object";
    return std::nullopt;
  }
  for (std::string_view name : kOverrideNames) {
    const auto it = overrides->find(std::string(name));
    if (it == overrides->end()) continue;
    if (!it->is_string()) {
      *error = "the job's override " + std::string(name) + " is not a text";
      return std::nullopt;
    }
    job.overrides.emplace_back(name, it->get<std::string>());
  }
  for (const auto& [key, value] : overrides->items()) {
    if (!IsOverrideName(key)) {
      *error = "the job has an unknown override \"" + key + "\"";
      return std::nullopt;
    }
  }

  const json* firmware_id = read.Field(*object, "firmware_id", "job.firmware_id");
  if (firmware_id == nullptr) return std::nullopt;
  if (firmware_id->is_string()) {
    job.firmware_id = firmware_id->get<std::string>();
  } else if (!firmware_id->is_null()) {
    *error = "the job file's job.firmware_id is neither a text nor null";
    return std::nullopt;
  }

  const json* serial = read.Field(*object, "serial", "job.serial");
  if (serial == nullptr) return std::nullopt;
  if (serial->is_object() && (serial->contains("list") || serial->contains("program"))) {
    JobSerial value;
    const bool list = serial->contains("list");
    const char* const key = list ? "list" : "program";
    const std::string where = std::string("job.serial.") + key;
    if (!read.OnlyKnown(*serial, "job.serial", {key}) ||
        !read.String(*serial, key, where.c_str(), list ? &value.list : &value.program)) {
      return std::nullopt;
    }
    if ((list ? value.list : value.program).empty()) {
      *error = "the job file's " + where + " is empty";
      return std::nullopt;
    }
    job.serial = value;
  } else if (serial->is_object()) {
    JobSerial value;
    if (!read.OnlyKnown(*serial, "job.serial", {"format", "start"}) ||
        !read.String(*serial, "format", "job.serial.format", &value.format)) {
      return std::nullopt;
    }
    const json* start = read.Field(*serial, "start", "job.serial.start");
    if (start == nullptr) return std::nullopt;
    if (!start->is_number_unsigned()) {
      *error = "the job file's job.serial.start is not a whole number";
      return std::nullopt;
    }
    value.start = start->get<std::uint64_t>();
    job.serial = value;
  } else if (!serial->is_null()) {
    *error = "the job file's job.serial is neither an object nor null";
    return std::nullopt;
  }

  const json* stations = read.Field(*object, "stations", "job.stations");
  if (stations == nullptr) return std::nullopt;
  if (!stations->is_array() ||
      !std::all_of(stations->begin(), stations->end(), [](const json& s) { return s.is_string(); })) {
    *error = "the job file's job.stations is not a list of station names";
    return std::nullopt;
  }
  for (const json& station : *stations) job.stations.push_back(station.get<std::string>());

  if (object->contains("results")) {
    const json* results = nullptr;
    if (!read.Object(*object, "results", "job.results", &results, {"program", "url"}) ||
        !read.String(*results, "program", "job.results.program", &job.result_program) ||
        !read.String(*results, "url", "job.results.url", &job.result_url)) {
      return std::nullopt;
    }
  }

  std::optional<std::vector<std::uint8_t>> bytes = Base64Decode(image_base64);
  if (!bytes) {
    *error = "the job's image is not valid base64 (job.image.base64)";
    return std::nullopt;
  }
  job.image = std::move(*bytes);
  const std::string actual = crypto::Sha256Hex(job.image);
  if (actual != job.image_sha256) {
    *error = "the job's image does not match its SHA-256: the job names " + job.image_sha256 +
             ", the image has " + actual;
    return std::nullopt;
  }

  if (file.contains("signature")) {
    const json* signature = nullptr;
    std::string algorithm;
    std::string value;
    if (!read.Object(file, "signature", "signature", &signature,
                     {"algorithm", "key", "value", "public_key"}) ||
        !read.String(*signature, "algorithm", "signature.algorithm", &algorithm) ||
        !read.String(*signature, "key", "signature.key", &job.key_id) ||
        !read.String(*signature, "value", "signature.value", &value)) {
      return std::nullopt;
    }
    if (algorithm != "ECDSA P-256 SHA-256") {
      *error = "the job is signed with \"" + algorithm + "\"; this program knows only ECDSA P-256 SHA-256";
      return std::nullopt;
    }
    std::optional<std::vector<std::uint8_t>> signature_bytes = Base64Decode(value);
    if (!signature_bytes || signature_bytes->size() != crypto::kSignatureSize || job.key_id.empty()) {
      *error = "the job's signature is damaged (signature.value is not 64 bytes of base64)";
      return std::nullopt;
    }
    job.signature = std::move(*signature_bytes);
    if (signature->contains("public_key")) {
      std::string public_key;
      if (!read.String(*signature, "public_key", "signature.public_key", &public_key)) {
        return std::nullopt;
      }
      std::optional<std::vector<std::uint8_t>> key_bytes = Base64Decode(public_key);
      if (!key_bytes || key_bytes->empty()) {
        *error = "the job's signature is damaged (signature.public_key is not base64)";
        return std::nullopt;
      }
      job.public_key = std::move(*key_bytes);
    }
  }
  return job;
}

std::vector<JobSetting> DescribeJobSettings(const Job& job) {
  std::vector<JobSetting> lines = {
      {"name", "name", job.name},
      {"revision", "revision", job.revision},
      {"note", "note", job.note},
      {"image", "image", job.image_name + " (" + std::to_string(job.image.size()) + " bytes)"},
      {"image_sha256", "image SHA-256", job.image_sha256},
      {"mode", "mode", job.factory ? "Factory" : "Developer"},
      {"evb", "evaluation-board IDs", job.evb ? "yes" : "no"},
  };
  for (const auto& [name, value] : job.overrides) {
    std::string key = name;
    std::replace(key.begin(), key.end(), '-', '_');
    lines.push_back({key, name, "\"" + value + "\""});
  }
  lines.push_back({"target", "target VID/PID", job.vid + "/" + job.pid});
  lines.push_back({"firmware_id", "firmware ID", job.firmware_id ? *job.firmware_id : "none"});
  std::string serials = "none";
  if (job.serial && !job.serial->list.empty()) {
    serials = "the line's list \"" + job.serial->list + "\"";
  } else if (job.serial && !job.serial->program.empty()) {
    serials = "from the program " + job.serial->program;
  } else if (job.serial) {
    serials = job.serial->format + " from " + std::to_string(job.serial->start);
  }
  lines.push_back({"serial_numbers", "serial numbers", serials});
  std::string stations;
  for (const std::string& station : job.stations) stations += (stations.empty() ? "" : ", ") + station;
  lines.push_back({"stations", "stations", stations.empty() ? "any" : stations});
  if (!job.result_program.empty()) {
    lines.push_back({"result_program", "result program", job.result_program});
  }
  if (!job.result_url.empty()) lines.push_back({"result_url", "result URL", job.result_url});
  lines.push_back({"signed_by", "signed by", job.Signed() ? job.key_id : "nobody (unsigned)"});
  return lines;
}

std::vector<std::pair<std::string, std::string>> DescribeJob(const Job& job) {
  std::vector<std::pair<std::string, std::string>> lines;
  for (JobSetting& setting : DescribeJobSettings(job)) {
    lines.emplace_back(std::move(setting.label), std::move(setting.value));
  }
  return lines;
}

}  // namespace qz::jobs
