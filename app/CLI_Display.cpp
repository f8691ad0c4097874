#include "app/CLI_Display.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int BAR_WIDTH = 69;
constexpr const char* BAR_TEXT = "=====================================================================";
static_assert(sizeof "=====================================================================" - 1 == BAR_WIDTH);

constexpr const char* SPINNER_FRAMES[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr unsigned SPINNER_FRAME_COUNT = sizeof SPINNER_FRAMES / sizeof SPINNER_FRAMES[0];
// One frame position for the whole run, so a second spinner phase continues
// where the first one stopped.
unsigned g_spinner_position = 0;

}  // namespace

bool CLI_Display::_on_terminal() const
{
    return isatty(fileno(chatter_)) == 1;
}

void CLI_Display::_clear_line()
{
    fprintf(chatter_, "\r%*s\r", 88, " ");
}

CLI_Display::CLI_Display()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool active)
{
    if (!active && _on_terminal())
        _clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    if (!_on_terminal())
        return;
    // Out-of-range fractions would draw garbage (a negative precision prints
    // the whole bar text): keep the bar within 0 % and 100 %.
    if (!(fraction >= 0.0))
        fraction = 0.0;
    if (fraction > 1.0)
        fraction = 1.0;
    int width = BAR_WIDTH;
    if (label)
        width = BAR_WIDTH - 4 - static_cast<int>(strnlen(label, BAR_WIDTH));
    if (width < 0)
        width = 0;
    int filled = static_cast<int>(fraction * width);
    int percent = static_cast<int>(fraction * 100);
    if (label)
        fprintf(chatter_, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, BAR_TEXT, width - filled - 1, "", percent);
    else
        fprintf(chatter_, "\r[%.*s>%*s] (%3d%% ) ", filled, BAR_TEXT, width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label)
{
    if (!_on_terminal())
        return;
    if (!active) {
        _clear_line();
        return;
    }
    const char* frame = SPINNER_FRAMES[g_spinner_position];
    if (label)
        fprintf(chatter_, "\r (%s) %s      \r", label, frame);
    else
        fprintf(chatter_, "\r %s      \r", frame);
    g_spinner_position = (g_spinner_position + 1) % SPINNER_FRAME_COUNT;
}

void CLI_Display::info_message(const char* text)
{
    fprintf(chatter_, "%s\n", text);
}

void CLI_Display::error_message(const char* text)
{
    fprintf(stderr, "%s\n", text);
    std::lock_guard<std::mutex> lock(errors_mutex_);
    if (!errors_.empty())
        errors_ += '\n';
    errors_ += text;
}

void CLI_Display::warning_message(const char* text)
{
    fprintf(stderr, "%s\n", text);
}

std::string CLI_Display::take_errors()
{
    std::string taken;
    std::lock_guard<std::mutex> lock(errors_mutex_);
    taken.swap(errors_);
    return taken;
}

void CLI_Display::reserve_stdout_for_documents()
{
    chatter_ = stderr;
}

bool CLI_Display::write_document(const std::string& text)
{
    bool written = fwrite(text.data(), 1, text.size(), stdout) == text.size();
    return fflush(stdout) == 0 && written;
}
