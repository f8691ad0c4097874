#pragma once
// A small command-line option scanner driven by a table of spellings.
//
// Words beginning with '-' are options. A word matches a spelling exactly, or
// abbreviates it when it is shorter, has the same number of leading hyphens and
// is a prefix of exactly one spelling ("-O" for "-OVERRIDE", "--he" for
// "--help"). Options are never clumped: "-DG" matches nothing. An option that
// takes an argument takes the next word unless it begins with '-', or the text
// attached after '=' ("-d=40F5849A"). Unknown options, options whose argument
// is missing and argument-less options written with "=value" are skipped
// without a word; other words are set aside.
#include <string>
#include <vector>

enum OptionArgKind {
    ARG_NONE = 0,      // a flag
    ARG_REQUIRED = 1,  // takes the following word (or "=value")
};

// One row of an option table; a row with id -1 ends the table.
struct SOption {
    int id;
    const char* spelling;
    OptionArgKind arg;
};

class OptionScanner {
public:
    // argv[0] is the program and is never scanned. The table must outlive the scanner.
    OptionScanner(int argc, char** argv, const SOption* table);

    // Moves to the next recognised option; false when the words are used up.
    bool Next();

    int OptionId() const { return current_ ? current_->id : -1; }
    // The table spelling of the current option (also when it was abbreviated).
    const char* OptionText() const { return current_ ? current_->spelling : ""; }
    // The current option's argument, or null for a flag.
    const char* OptionArg() const { return argument_; }
    // Words that were neither options nor option arguments, in order.
    const std::vector<std::string>& SetAside() const { return set_aside_; }

private:
    const SOption* _match(const std::string& name) const;

    int argc_;
    char** argv_;
    const SOption* table_;
    int next_ = 1;
    const SOption* current_ = nullptr;
    const char* argument_ = nullptr;
    std::string attached_;
    std::vector<std::string> set_aside_;
};
