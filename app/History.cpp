#include "app/History.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <deque>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <sys/time.h>
#include <utility>
#include <vector>

#include "app/Listings.h"
#include "app/PrintableText.h"
#include "store/HistoryFile.h"

namespace {

using json = nlohmann::ordered_json;
constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto LEVEL_ERR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr auto LEVEL_WARN = UpdaterDisplayInterface::LEVEL_WARNING;
// The records "--history" keeps in memory at most: the two files as rotation
// leaves them. Of a larger (foreign) file the newest records are shown.
constexpr size_t SHOWN_BYTES = 2 * HistoryFile::ROTATE_BYTES;
constexpr size_t WARNED_LINES = 5;

std::string _hex_serial(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

json _serial_or_null(uint32_t serial)
{
    if (serial == 0 || serial == UNKNOWN_DEVICE_SERIAL)
        return nullptr;
    return _hex_serial(serial);
}

json _firmware(const std::optional<FirmwareId>& id)
{
    if (!id)
        return nullptr;
    return {{"version", id->version}, {"build", id->build}};
}

using Digest = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

Digest _sha256_start()
{
    Digest digest(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (digest && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
        digest.reset();
    return digest;
}

std::string _sha256_hex(EVP_MD_CTX* digest)
{
    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(digest, sum, &length);
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02x", sum[i]);
        hex += pair;
    }
    return hex;
}

// Size and SHA-256 of the image: as the download knew it, else of the file as it
// lies on disk, read a piece at a time.
json _image(const std::string& path, const std::optional<ImageDigest>& known)
{
    if (path.empty())
        return nullptr;
    json image = {{"file", path}, {"bytes", nullptr}, {"sha256", nullptr}};
    if (known) {
        image["bytes"] = known->bytes;
        image["sha256"] = known->sha256;
        return image;
    }
    std::ifstream in(path, std::ios::binary);
    Digest digest = _sha256_start();
    if (!in || !digest)
        return image;
    std::vector<char> chunk(64 * 1024);
    uint64_t bytes = 0;
    while (in.read(chunk.data(), std::streamsize(chunk.size())) || in.gcount() > 0) {
        EVP_DigestUpdate(digest.get(), chunk.data(), size_t(in.gcount()));
        bytes += uint64_t(in.gcount());
    }
    if (in.bad())
        return image;
    image["bytes"] = bytes;
    image["sha256"] = _sha256_hex(digest.get());
    return image;
}

json _verified(const HistoryEntry& entry, const Outcome& outcome)
{
    if (!entry.verify)
        return nullptr;
    if (outcome.verified)
        return *outcome.verified;
    if (entry.interrupted)
        return nullptr;  // never got as far
    // Asked for but never reached: a failed update is not confirmed; a
    // successful one had nothing to come back on (an LPC recovery).
    return entry.ok ? json(nullptr) : json(false);
}

const char* _result(const HistoryEntry& entry, const Outcome& outcome)
{
    if (entry.interrupted || outcome.interrupted)
        return "interrupted";
    return entry.ok ? "ok" : "failed";
}

std::string _text_or_empty(const json& value)
{
    return value.is_string() ? value.get<std::string>() : std::string();
}

std::string _firmware_cell(const json& firmware)
{
    if (!firmware.is_object())
        return "-";
    std::string text = _text_or_empty(firmware.value("version", json()));
    const json& build = firmware.value("build", json());
    if (build.is_number_unsigned())
        text += " (" + std::to_string(build.get<uint64_t>()) + ")";
    return text;
}

std::string _verified_cell(const json& verified)
{
    if (!verified.is_boolean())
        return "-";
    return verified.get<bool>() ? "yes" : "no";
}

std::string _one_line(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ';');
    return text;
}

// A text cell of the record as the table shows it.
std::string _cell(const json& record, const char* key)
{
    return _terminal_text(_text_or_empty(record.value(key, json())));
}

void _print_row(UpdaterDisplayInterface& display, const json& record)
{
    std::string note = _one_line(_text_or_empty(record.value("message", json())));
    const std::string error = _one_line(_text_or_empty(record.value("error", json())));
    if (!error.empty())
        note += (note.empty() ? "[" : " [") + error + "]";
    const json& seconds = record.value("seconds", json());
    char secs[32] = "-";
    if (seconds.is_number())
        snprintf(secs, sizeof secs, "%.1f", seconds.get<double>());
    display.message(INFO, "%-24.24s %-8.8s %-8.8s %-6.6s %-16.16s %-16.16s %-8.8s %7s  %s",
                    _cell(record, "time").c_str(), _cell(record, "command").c_str(), _cell(record, "serial").c_str(),
                    _cell(record, "result").c_str(),
                    _terminal_text(_firmware_cell(record.value("from", json()))).c_str(),
                    _terminal_text(_firmware_cell(record.value("to", json()))).c_str(),
                    _verified_cell(record.value("verified", json())).c_str(), secs, _terminal_text(note).c_str());
}

// The JSON types a field of a record may have; a record whose fields have
// others (a hand-edited or foreign line) is no record and is skipped.
struct FieldTypes {
    const char* name;
    bool required;  // a record without it is no record
    std::initializer_list<json::value_t> types;
};

const FieldTypes RECORD_FIELDS[] = {
    {"time", true, {json::value_t::string}},
    {"command", true, {json::value_t::string}},
    {"result", true, {json::value_t::string}},
    {"serial", false, {json::value_t::string, json::value_t::null}},
    {"transport", false, {json::value_t::string, json::value_t::null}},
    {"router", false, {json::value_t::string, json::value_t::null}},
    {"from", false, {json::value_t::object, json::value_t::null}},
    {"to", false, {json::value_t::object, json::value_t::null}},
    {"image", false, {json::value_t::object, json::value_t::null}},
    {"seconds",
     false,
     {json::value_t::number_float, json::value_t::number_unsigned, json::value_t::number_integer, json::value_t::null}},
    {"error", false, {json::value_t::string, json::value_t::null}},
    {"verified", false, {json::value_t::boolean, json::value_t::null}},
    {"message", false, {json::value_t::string, json::value_t::null}},
};

bool _is_record(const json& record)
{
    if (!record.is_object())
        return false;
    for (const FieldTypes& field : RECORD_FIELDS) {
        const auto found = record.find(field.name);
        if (found == record.end()) {
            if (field.required)
                return false;
            continue;
        }
        const auto& types = field.types;
        if (std::find(types.begin(), types.end(), found->type()) == types.end())
            return false;
    }
    return true;
}

// The records kept for showing: their time and their line, oldest first.
struct Kept {
    std::deque<std::pair<std::string, std::string>> records;
    size_t bytes = 0;
    size_t skipped = 0;
};

void _keep(Kept& kept, const json& record, const std::string& line)
{
    kept.records.emplace_back(_text_or_empty(record.value("time", json())), line);
    kept.bytes += line.size();
    while (kept.bytes > SHOWN_BYTES && !kept.records.empty()) {
        kept.bytes -= kept.records.front().second.size();
        kept.records.pop_front();
    }
}

}  // namespace

std::string _utc_time_text()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + length, sizeof text - length, ".%03dZ", int(now.tv_usec / 1000));
    return text;
}

std::optional<ImageDigest> _image_digest(const unsigned char* data, size_t length)
{
    Digest digest = _sha256_start();
    if (!digest || EVP_DigestUpdate(digest.get(), data, length) != 1)
        return std::nullopt;
    return ImageDigest{length, _sha256_hex(digest.get())};
}

json _history_record(const HistoryEntry& entry, const Outcome& outcome)
{
    uint32_t serial = outcome.serial ? outcome.serial : entry.serial;
    return {
        {"time", entry.time},
        {"command", entry.command},
        {"serial", _serial_or_null(serial)},
        {"transport", outcome.transport.empty() ? json(nullptr) : json(outcome.transport)},
        {"router", _serial_or_null(entry.router)},
        {"from", _firmware(outcome.from)},
        {"to", _firmware(outcome.to)},
        {"image", _image(outcome.image, outcome.digest)},
        {"seconds", entry.seconds},
        {"result", _result(entry, outcome)},
        {"error", entry.error.empty() ? json(nullptr) : json(entry.error)},
        {"verified", _verified(entry, outcome)},
        {"message", entry.message.empty() ? json(nullptr) : json(entry.message)},
        {"batch", entry.batch.empty() ? json(nullptr) : json(entry.batch)},
    };
}

void _append_history(UpdaterDisplayInterface& display, const std::string& store_directory, const json& record)
{
    std::string error;
    // Texts from modules and files may hold bytes that are not UTF-8.
    const std::string line = record.dump(-1, ' ', false, json::error_handler_t::replace);
    if (!HistoryFile(store_directory).Append(line, error))
        display.message(LEVEL_WARN, "Warning: the history was not written: %s", error.c_str());
}

bool _show_history(UpdaterDisplayInterface& display, const std::string& store_directory, uint32_t serial,
                   std::string* document)
{
    const std::string wanted = serial ? _hex_serial(serial) : "";
    Kept kept;
    std::string error;
    bool read = HistoryFile(store_directory)
                    .Read(
                        [&](const HistoryFile::Line& line) {
                            json record = line.tooLong ? json() : json::parse(line.text, nullptr, false);
                            if (!_is_record(record)) {
                                if (++kept.skipped <= WARNED_LINES)
                                    display.message(LEVEL_WARN, "Warning: %s line %zu is no history record; skipped",
                                                    line.file.c_str(), line.number);
                                return;
                            }
                            if (wanted.empty() || _text_or_empty(record.value("serial", json())) == wanted)
                                _keep(kept, record, line.text);
                        },
                        error);
    if (kept.skipped > WARNED_LINES)
        display.message(LEVEL_WARN, "Warning: %zu more lines are no history records; skipped",
                        kept.skipped - WARNED_LINES);
    if (!read) {
        display.message(LEVEL_ERR, "Could not read the history: %s", error.c_str());
        return false;
    }

    // Newest first; records of the same time in the order they were written, last first.
    std::vector<std::pair<std::string, std::string>> records(kept.records.rbegin(), kept.records.rend());
    std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    if (document) {
        json list = json::array();
        for (const auto& record : records)
            list.push_back(json::parse(record.second, nullptr, false));
        *document = list.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
        return true;
    }
    if (records.empty()) {
        if (serial)
            display.message(INFO, "No history records for device [%08X]", serial);
        else
            display.message(INFO, "No history records");
        return true;
    }
    display.message(INFO, "%-24s %-8s %-8s %-6s %-16s %-16s %-8s %7s  %s", "Time (UTC)", "Command", "Device", "Result",
                    "From", "To", "Verified", "Seconds", "Message [error]");
    for (const auto& record : records)
        _print_row(display, json::parse(record.second, nullptr, false));
    return true;
}
