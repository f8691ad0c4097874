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
//
// The smaller programs (module-server, updater-agent) read their words exactly
// instead: a word is an option only when it is a spelling, an option that takes
// an argument takes the next word whatever it is (none at the end), and the first
// word that is no spelling ends the scan and is kept as Unknown().
#include <string>
#include <vector>

enum OptionArgKind {
    ARG_NONE = 0,      // a flag
    ARG_REQUIRED = 1,  // takes the following word (or "=value")
};

enum class OptionWords {
    Loose,  // abbreviations, "=value", missing arguments and unknown options skipped
    Exact,  // spellings only, the next word as argument, a stop at the first unknown word
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
    OptionScanner(int argc, const char* const* argv, const SOption* table, OptionWords words = OptionWords::Loose);

    // Moves to the next recognised option; false when the words are used up.
    bool Next();

    int OptionId() const { return current_ ? current_->id : -1; }
    // The table spelling of the current option (also when it was abbreviated).
    const char* OptionText() const { return current_ ? current_->spelling : ""; }
    // The current option's argument, or null for a flag (and, read exactly, for an
    // option that ends the words).
    const char* OptionArg() const { return argument_; }
    // Read exactly: the word that ended the scan by matching no spelling, or null.
    const char* Unknown() const { return unknown_; }
    // Words that were neither options nor option arguments, in order.
    const std::vector<std::string>& SetAside() const { return set_aside_; }

private:
    const SOption* _match(const std::string& name) const;
    bool _next_exact();

    int argc_;
    const char* const* argv_;
    const SOption* table_;
    OptionWords words_;
    int next_ = 1;
    const SOption* current_ = nullptr;
    const char* argument_ = nullptr;
    const char* unknown_ = nullptr;
    std::string attached_;
    std::vector<std::string> set_aside_;
};
