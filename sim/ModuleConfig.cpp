#include "sim/ModuleConfig.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <sstream>

#include "common/aVersion.h"
#include "sim/Text.h"

namespace Sim {

namespace {

struct StepName {
    UpgradeStep step;
    const char* name;
};

constexpr StepName _step_names[] = {
    {UpgradeStep::Init, "INIT"},       {UpgradeStep::Data, "DATA"},        {UpgradeStep::Load, "LOAD"},
    {UpgradeStep::Prepare, "PREPARE"}, {UpgradeStep::Sum, "SUM"},          {UpgradeStep::Write, "WRITE"},
    {UpgradeStep::Reboot, "REBOOT"},   {UpgradeStep::DataUEI, "DATA_UEI"},
};

bool _parse_unsigned(const std::string& text, uint64_t max, uint64_t& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > max)
        return false;
    value = v;
    return true;
}

template <typename T>
bool _set_unsigned(const std::string& text, uint64_t max, T& field)
{
    uint64_t v;
    if (!_parse_unsigned(text, max, v))
        return false;
    field = static_cast<T>(v);
    return true;
}

bool _parse_hex32(const std::string& text, uint32_t& value)
{
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 8)
        return false;
    for (char c : digits)
        if (!isxdigit(static_cast<unsigned char>(c)))
            return false;
    value = static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
    return true;
}

bool _parse_bool(const std::string& text, bool& value)
{
    if (text == "1" || text == "yes" || text == "true" || text == "on") {
        value = true;
        return true;
    }
    if (text == "0" || text == "no" || text == "false" || text == "off") {
        value = false;
        return true;
    }
    return false;
}

bool _is_ipv4(const std::string& text)
{
    in_addr a;
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

std::vector<std::string> _split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

}  // namespace

const char* UpgradeStepName(UpgradeStep step)
{
    for (const auto& s : _step_names)
        if (s.step == step)
            return s.name;
    return "?";
}

bool ParseUpgradeStep(const std::string& text, UpgradeStep& step)
{
    for (const auto& s : _step_names)
        if (strcasecmp(text.c_str(), s.name) == 0) {
            step = s.step;
            return true;
        }
    return false;
}

bool Fault::Parse(const std::string& text, Fault& fault, std::string& error)
{
    std::vector<std::string> parts = _split(text, ',');
    if (parts.empty()) {
        error = "empty fault";
        return false;
    }
    Fault f;
    std::string head = TrimBlanks(parts[0]);
    std::string kind = head, arg;
    size_t eq = head.find('=');
    if (eq != std::string::npos) {
        kind = head.substr(0, eq);
        arg = head.substr(eq + 1);
    }
    auto need_step = [&](bool optional) {
        if (arg.empty()) {
            if (optional)
                return true;
            error = "fault '" + kind + "' needs a step (INIT, DATA, LOAD, PREPARE, SUM, WRITE, REBOOT, DATA_UEI)";
            return false;
        }
        if (!ParseUpgradeStep(arg, f.step)) {
            error = "unknown upgrade step '" + arg + "'";
            return false;
        }
        f.anyStep = false;
        return true;
    };
    if (kind == "drop-after-bytes") {
        f.kind = FaultKind::DropAfterBytes;
        if (!_parse_unsigned(arg, UINT64_MAX, f.bytes) || f.bytes == 0) {
            error = "drop-after-bytes needs a positive byte count";
            return false;
        }
    } else if (kind == "drop-at") {
        f.kind = FaultKind::DropAtStep;
        if (!need_step(false))
            return false;
    } else if (kind == "wrong-data-count") {
        f.kind = FaultKind::WrongDataCount;
    } else if (kind == "wrong-sum") {
        f.kind = FaultKind::WrongSum;
    } else if (kind == "error-status") {
        f.kind = FaultKind::ErrorStatus;
        if (!need_step(false))
            return false;
        if (f.step != UpgradeStep::Prepare && f.step != UpgradeStep::Sum && f.step != UpgradeStep::Write) {
            error = "error-status applies to PREPARE, SUM or WRITE";
            return false;
        }
    } else if (kind == "silent") {
        f.kind = FaultKind::Silent;
        if (!need_step(true))
            return false;
        if (f.anyStep)
            f.times = -1;
    } else if (kind == "busy") {
        f.kind = FaultKind::Busy;
        f.times = -1;
    } else {
        error = "unknown fault '" + kind + "'";
        return false;
    }
    for (size_t i = 1; i < parts.size(); ++i) {
        std::string p = TrimBlanks(parts[i]);
        size_t peq = p.find('=');
        std::string key = p.substr(0, peq), value = peq == std::string::npos ? "" : p.substr(peq + 1);
        uint64_t v;
        if (key == "always" && peq == std::string::npos) {
            f.times = -1;
        } else if (key == "once" && peq == std::string::npos) {
            f.times = 1;
        } else if (key == "times" && _parse_unsigned(value, 1000000, v) && v > 0) {
            f.times = static_cast<int>(v);
        } else if (key == "after" && _parse_unsigned(value, 1000000, v)) {
            f.skip = static_cast<int>(v);
        } else if (key == "code" && f.kind == FaultKind::ErrorStatus && _parse_unsigned(value, 255, v) && v > 0) {
            f.code = static_cast<uint8_t>(v);
        } else {
            error = "fault option '" + p + "' not understood";
            return false;
        }
    }
    fault = f;
    return true;
}

std::string Fault::Describe() const
{
    std::ostringstream out;
    switch (kind) {
    case FaultKind::DropAfterBytes:
        out << "drop-after-bytes=" << bytes;
        break;
    case FaultKind::DropAtStep:
        out << "drop-at=" << UpgradeStepName(step);
        break;
    case FaultKind::WrongDataCount:
        out << "wrong-data-count";
        break;
    case FaultKind::WrongSum:
        out << "wrong-sum";
        break;
    case FaultKind::ErrorStatus:
        out << "error-status=" << UpgradeStepName(step) << ",code=" << int(code);
        break;
    case FaultKind::Silent:
        out << "silent";
        if (!anyStep)
            out << "=" << UpgradeStepName(step);
        break;
    case FaultKind::Busy:
        out << "busy";
        break;
    }
    if (times < 0)
        out << ",always";
    else if (times != 1)
        out << ",times=" << times;
    if (skip)
        out << ",after=" << skip;
    return out.str();
}

bool ParseVersion(const std::string& text, uint32_t& packed)
{
    std::vector<std::string> parts = _split(text, '.');
    if (parts.size() == 3) {
        uint64_t v[3];
        for (int i = 0; i < 3; ++i)
            if (!_parse_unsigned(parts[i], 255, v[i]))
                return false;
        packed = aVersion_Pack(uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2]));
        return true;
    }
    uint64_t v;
    if (!_parse_unsigned(text, UINT32_MAX, v))
        return false;
    packed = static_cast<uint32_t>(v);
    return true;
}

bool ModuleConfig::Set(const std::string& rawKey, const std::string& rawValue, std::string& error)
{
    std::string key = TrimBlanks(rawKey), value = TrimBlanks(rawValue);
    bool ok = true;
    if (key == "serial") {
        ok = _parse_hex32(value, serialNumber);
    } else if (key == "model") {
        ok = _set_unsigned(value, 255, model);
    } else if (key == "version") {
        ok = ParseVersion(value, version);
    } else if (key == "build") {
        ok = _set_unsigned(value, UINT32_MAX, build);
    } else if (key == "name") {
        ok = value.size() <= 32;
        if (ok)
            name = value;
    } else if (key == "address") {
        ok = _set_unsigned(value, 254, moduleAddress) && moduleAddress >= 2 && moduleAddress % 2 == 0;
    } else if (key == "router-address") {
        ok = _set_unsigned(value, 254, routerAddress) && routerAddress % 2 == 0;
    } else if (key == "features") {
        ok = _set_unsigned(value, UINT32_MAX, protocolFeatures);
    } else if (key == "pooled") {
        bool on;
        ok = _parse_bool(value, on);
        if (ok)
            protocolFeatures = on ? (protocolFeatures | 0x80000000u) : (protocolFeatures & 0x7FFFFFFFu);
    } else if (key == "loader") {
        ok = _parse_bool(value, startInLoader);
    } else if (key == "uei-data") {
        ok = _parse_bool(value, ueiData);
    } else if (key == "block-size") {
        ok = _set_unsigned(value, 65535, blockSize) && blockSize > 0;
    } else if (key == "load-base") {
        ok = _set_unsigned(value, UINT32_MAX, loadBase);
    } else if (key == "load-pause-ms") {
        ok = _set_unsigned(value, 600000, loadPauseMs);
    } else if (key == "reboot-pause-ms") {
        ok = _set_unsigned(value, 600000, rebootPauseMs);
    } else if (key == "drop-pause-ms") {
        ok = _set_unsigned(value, 600000, dropPauseMs);
    } else if (key == "new-version") {
        ok = ParseVersion(value, newVersion);
    } else if (key == "new-build") {
        ok = _set_unsigned(value, UINT32_MAX, newBuild);
    } else if (key == "flash-dir") {
        flashDir = value;
    } else if (key == "heartbeat-ms") {
        ok = _set_unsigned(value, 25500, heartbeatMs);
    } else if (key == "identifier") {
        std::vector<std::string> words = _split(value, ':');
        ok = words.size() == 4;
        for (size_t i = 0; ok && i < 4; ++i)
            ok = _parse_hex32(words[i], identifier[i]);
    } else if (key == "transport") {
        if (value == "tcp")
            transport = Transport::Tcp;
        else if (value == "pty")
            transport = Transport::Pty;
        else if (value == "none")
            transport = Transport::None;
        else
            ok = false;
    } else if (key == "listen") {
        ok = _is_ipv4(value);
        if (ok)
            listenAddress = value;
    } else if (key == "port") {
        ok = _set_unsigned(value, 65535, port);
    } else if (key == "discovery") {
        ok = _is_ipv4(value);
        if (ok)
            discoveryInterface = value;
    } else if (key == "fault") {
        Fault f;
        std::string why;
        ok = Fault::Parse(value, f, why);
        if (ok)
            faults.push_back(f);
        else {
            error = why;
            return false;
        }
    } else {
        error = "unknown setting '" + key + "'";
        return false;
    }
    if (!ok)
        error = "bad value '" + value + "' for " + key;
    return ok;
}

bool ModuleConfig::SetList(const std::string& list, std::string& error)
{
    for (const std::string& item : _split(list, ',')) {
        if (TrimBlanks(item).empty())
            continue;
        size_t eq = item.find('=');
        if (eq == std::string::npos) {
            error = "setting '" + item + "' is not key=value";
            return false;
        }
        if (TrimBlanks(item.substr(0, eq)) == "fault") {
            error = "faults are given with their own option (--fault)";
            return false;
        }
        if (!Set(item.substr(0, eq), item.substr(eq + 1), error))
            return false;
    }
    return true;
}

std::string ModuleSettingsUsage(bool transportKeys)
{
    std::string usage =
        "keys: serial model version build name address router-address features pooled uei-data\n"
        "      block-size load-base load-pause-ms reboot-pause-ms drop-pause-ms new-version new-build\n"
        "      flash-dir heartbeat-ms identifier loader";
    usage += transportKeys ? " transport(tcp|pty) listen port discovery\n" : "\n";
    return usage +
           "faults: drop-after-bytes=N  drop-at=STEP  wrong-data-count  wrong-sum  error-status=STEP[,code=N]\n"
           "        silent[=STEP]  busy   each with [,once|,always|,times=N][,after=N]\n"
           "steps: INIT DATA LOAD PREPARE SUM WRITE REBOOT DATA_UEI\n";
}

}  // namespace Sim
