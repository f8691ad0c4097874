#include "app/OptionScanner.h"

#include <cstring>

namespace {

size_t _leading_hyphens(const char* text)
{
    size_t count = 0;
    while (text[count] == '-')
        ++count;
    return count;
}

}  // namespace

OptionScanner::OptionScanner(int argc, const char* const* argv, const SOption* table, OptionWords words)
    : argc_(argv ? argc : 0), argv_(argv), table_(table), words_(words)
{
}

const SOption* OptionScanner::_match(const std::string& name) const
{
    // An exact spelling always wins, so "--http" is not an abbreviation of "--https".
    for (const SOption* row = table_; row->id != -1; ++row)
        if (name == row->spelling)
            return row;

    size_t hyphens = _leading_hyphens(name.c_str());
    const SOption* found = nullptr;
    for (const SOption* row = table_; row->id != -1; ++row) {
        size_t length = strlen(row->spelling);
        if (name.size() >= length || _leading_hyphens(row->spelling) != hyphens)
            continue;
        if (strncmp(row->spelling, name.c_str(), name.size()) != 0)
            continue;
        if (found)
            return nullptr;  // ambiguous
        found = row;
    }
    return found;
}

bool OptionScanner::_next_exact()
{
    while (next_ < argc_ && !unknown_) {
        const char* word = argv_[next_++];
        if (!word)
            continue;
        for (const SOption* row = table_; row->id != -1; ++row) {
            if (strcmp(word, row->spelling) != 0)
                continue;
            current_ = row;
            if (row->arg == ARG_REQUIRED && next_ < argc_)
                argument_ = argv_[next_++];
            return true;
        }
        unknown_ = word;
    }
    return false;
}

bool OptionScanner::Next()
{
    current_ = nullptr;
    argument_ = nullptr;
    if (words_ == OptionWords::Exact)
        return _next_exact();
    while (next_ < argc_) {
        const char* word = argv_[next_++];
        if (!word)
            continue;
        if (word[0] != '-') {
            set_aside_.emplace_back(word);
            continue;
        }

        const char* equals = strchr(word, '=');
        std::string name = equals ? std::string(word, equals - word) : std::string(word);
        const SOption* row = _match(name);
        if (!row)
            continue;

        if (row->arg == ARG_NONE) {
            if (equals)
                continue;
            current_ = row;
            return true;
        }

        if (equals) {
            attached_ = equals + 1;
            argument_ = attached_.c_str();
        } else if (next_ < argc_ && argv_[next_] && argv_[next_][0] != '-') {
            argument_ = argv_[next_++];
        } else {
            continue;  // missing argument
        }
        current_ = row;
        return true;
    }
    return false;
}
