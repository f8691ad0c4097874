// Arbitrary argument vectors through the command-line parser: the input is
// split at NUL bytes into words. Nothing may crash, whatever the words.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/CLI_Display.h"
#include "app/Parameters.h"
#include "common/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> words{"updater"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty())
        words.push_back(word);

    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    static CLI_Display display;
    display.mute_messages(true);  // parse errors would flood the fuzzer's output
    Log::SetOutput(nullptr);
    Parameters params;
    int result = _get_params(display, static_cast<int>(words.size()), argv.data(), &params);
    if (result != 0 && result != 1)
        __builtin_trap();
    _release_params(&params);
    Log::package_bitmask = 0;
    return 0;
}
