#include "app/BatchReports.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <pugixml.hpp>

#include "app/PrintableText.h"
#include "store/AtomicFile.h"

namespace {

using json = nlohmann::ordered_json;
constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
const char* const SUITE_NAME = "updater";

std::string _serial_text(uint32_t serial)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    return text;
}

std::string _seconds_text(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

// "2.15.1 (1001)", "(1001)" without a version, "-" when there is no build.
std::string _firmware_text(uint32_t build, const std::string& version)
{
    if (build == 0 && version.empty())
        return "-";
    if (build == 0)
        return version;
    const std::string number = "(" + std::to_string(build) + ")";
    return version.empty() ? number : version + " " + number;
}

json _firmware_json(uint32_t build, const std::string& version)
{
    if (build == 0 && version.empty())
        return nullptr;
    return {{"version", version.empty() ? json(nullptr) : json(version)},
            {"build", build ? json(build) : json(nullptr)}};
}

json _text_or_null(const std::string& text)
{
    return text.empty() ? json(nullptr) : json(text);
}

// The first line of a failure's text, for the failure's message attribute.
std::string _first_line(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

json _module_json(const ModuleOutcome& module)
{
    return {
        {"serial", _serial_text(module.serial)},
        {"model", module.model},
        {"name", _text_or_null(module.name)},
        {"route", _text_or_null(module.route)},
        {"from", _firmware_json(module.fromBuild, module.fromVersion)},
        {"to", _firmware_json(module.toBuild, module.toVersion)},
        {"image", _text_or_null(module.image)},
        {"result", BatchResult_Name(module.result)},
        {"message", _text_or_null(module.message)},
        {"seconds", module.seconds},
    };
}

// The module's one line of the table; the failure text follows the columns.
void _display_module(UpdaterDisplayInterface& display, const ModuleOutcome& module)
{
    char seconds[32] = "-";
    if (module.seconds > 0)
        snprintf(seconds, sizeof seconds, "%.1f", module.seconds);
    std::string note = _terminal_text(module.message);
    if (!note.empty())
        note = "  " + note;
    display.message(INFO, "    %08X  %-14s %-20s %-20s %-11s %7s%s", module.serial,
                    _terminal_text(module.model).c_str(),
                    _terminal_text(_firmware_text(module.fromBuild, module.fromVersion)).c_str(),
                    _terminal_text(_firmware_text(module.toBuild, module.toVersion)).c_str(),
                    BatchResult_Name(module.result), seconds, note.c_str());
}

void _set(pugi::xml_node node, const char* attribute, const std::string& value)
{
    node.append_attribute(attribute).set_value(_xml_text(value).c_str());
}

void _add_test_case(pugi::xml_node suite, const ModuleOutcome& module)
{
    pugi::xml_node test = suite.append_child("testcase");
    _set(test, "classname", std::string(SUITE_NAME) + "." + (module.model.empty() ? "module" : module.model));
    _set(test, "name", _serial_text(module.serial) + (module.name.empty() ? "" : " (" + module.name + ")"));
    _set(test, "time", _seconds_text(module.seconds));
    const std::string message = module.message.empty() ? BatchResult_Name(module.result) : module.message;
    if (module.result == BatchResult::Failed || module.result == BatchResult::Interrupted) {
        pugi::xml_node failure = test.append_child("failure");
        _set(failure, "message", _first_line(message));
        _set(failure, "type", BatchResult_Name(module.result));
        failure.text().set(_xml_text(message).c_str());
    } else if (module.result == BatchResult::Skipped) {
        _set(test.append_child("skipped"), "message", _first_line(message));
    }
    const std::string route = module.route.empty() ? "" : " via " + module.route;
    const std::string story = std::string(BatchResult_Name(module.result)) + ": from " +
                              _firmware_text(module.fromBuild, module.fromVersion) + " to " +
                              _firmware_text(module.toBuild, module.toVersion) + route;
    test.append_child("system-out").text().set(_xml_text(story).c_str());
}

struct StringWriter : pugi::xml_writer {
    std::string text;
    void write(const void* data, size_t size) override { text.append(static_cast<const char*>(data), size); }
};

}  // namespace

BatchCounts _batch_counts(const BatchRun& run)
{
    BatchCounts counts;
    for (const ModuleOutcome& module : run.modules) {
        switch (module.result) {
        case BatchResult::Updated:
            ++counts.updated;
            break;
        case BatchResult::Current:
            ++counts.current;
            break;
        case BatchResult::Failed:
            ++counts.failed;
            break;
        case BatchResult::Skipped:
            ++counts.skipped;
            break;
        case BatchResult::Interrupted:
            ++counts.interrupted;
            break;
        }
    }
    return counts;
}

void _display_batch_summary(UpdaterDisplayInterface& display, const BatchRun& run)
{
    display.message(INFO, "    %-8s  %-14s %-20s %-20s %-11s %7s", "Device", "Model", "From", "To", "Result",
                    "Seconds");
    for (const ModuleOutcome& module : run.modules)
        _display_module(display, module);
    const BatchCounts counts = _batch_counts(run);
    display.message(INFO, "%zu modules: %zu updated, %zu current, %zu failed, %zu skipped, %zu interrupted (%.1f s)",
                    run.modules.size(), counts.updated, counts.current, counts.failed, counts.skipped,
                    counts.interrupted, run.seconds);
}

json _batch_json(const BatchRun& run)
{
    json modules = json::array();
    for (const ModuleOutcome& module : run.modules)
        modules.push_back(_module_json(module));
    const BatchCounts counts = _batch_counts(run);
    return {
        {"batch", _text_or_null(run.batch)},
        {"modules", modules},
        {"summary",
         {{"modules", run.modules.size()},
          {"updated", counts.updated},
          {"current", counts.current},
          {"failed", counts.failed},
          {"skipped", counts.skipped},
          {"interrupted", counts.interrupted},
          {"seconds", run.seconds}}},
    };
}

std::string _batch_json_document(const BatchRun& run)
{
    // Names and failure texts are whatever modules and libraries gave: the library's
    // default would throw on bytes that are not UTF-8.
    return _batch_json(run).dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string _junit_xml(const BatchRun& run)
{
    pugi::xml_document document;
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");

    const BatchCounts counts = _batch_counts(run);
    const std::string tests = std::to_string(run.modules.size());
    const std::string failures = std::to_string(counts.failed + counts.interrupted);
    const std::string skipped = std::to_string(counts.skipped);
    const std::string time = _seconds_text(run.seconds);
    pugi::xml_node suites = document.append_child("testsuites");
    pugi::xml_node suite = suites.append_child("testsuite");
    for (pugi::xml_node node : {suites, suite}) {
        _set(node, "name", SUITE_NAME);
        _set(node, "tests", tests);
        _set(node, "failures", failures);
        _set(node, "errors", "0");
        _set(node, "skipped", skipped);
        _set(node, "time", time);
    }
    if (!run.batch.empty()) {
        pugi::xml_node property = suite.append_child("properties").append_child("property");
        _set(property, "name", "batch");
        _set(property, "value", run.batch);
    }
    for (const ModuleOutcome& module : run.modules)
        _add_test_case(suite, module);

    StringWriter writer;
    document.save(writer, "  ", pugi::format_default, pugi::encoding_utf8);
    return writer.text;
}

bool _write_junit_report(const BatchRun& run, const std::string& path, std::string& error)
{
    const std::string xml = _junit_xml(run);
    AtomicFile file(path);
    aErr result = file.IsOpen() ? file.Write(reinterpret_cast<const uint8_t*>(xml.data()), xml.size()) : aErrIO;
    if (result == aErrNone)
        result = file.Commit();
    if (result == aErrNone)
        return true;
    error = strerror(file.Error() ? file.Error() : EIO);
    return false;
}
