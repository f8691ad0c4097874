#pragma once
// The store's history: one text line per record in "history.jsonl" in the store
// directory. Records are appended under an advisory lock, each with one write
// and synced, so that processes updating modules at the same time each leave a
// whole line. Above ROTATE_BYTES the file moves to "history.jsonl.1" (the one
// older file kept) before the next record goes in. What a line holds is the
// caller's business.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class HistoryFile {
public:
    static constexpr const char* FILE_NAME = "history.jsonl";
    static constexpr const char* OLD_FILE_NAME = "history.jsonl.1";
    static constexpr const char* LOCK_NAME = ".history.lock";
    static constexpr uint64_t ROTATE_BYTES = 16u << 20;
    // Lines longer than this are no records: they are skipped unread, so that
    // a damaged or foreign file costs no more memory than this.
    static constexpr size_t MAX_LINE_BYTES = 64u << 10;
    static constexpr uint32_t LOCK_WAIT_MS = 10000;

    explicit HistoryFile(const std::string& storeDirectory);

    // Appends text and a line end. False with error set to what went wrong.
    bool Append(const std::string& line, std::string& error) const;

    // One line of the files, oldest file first. `number` counts from 1 in its
    // file; an over-long line comes with `tooLong` set and its text cut.
    struct Line {
        const std::string& file;
        size_t number;
        const std::string& text;
        bool tooLong;
    };
    // Hands every line of history.jsonl.1 and history.jsonl to the visitor, in
    // order, reading a bounded piece at a time. Missing files have no lines.
    // False with error set when a file exists but cannot be read.
    bool Read(const std::function<void(const Line&)>& visit, std::string& error) const;

    std::string Path() const;
    std::string OldPath() const;

private:
    bool _read_file(const std::string& path, const std::function<void(const Line&)>& visit, std::string& error) const;

    std::string directory;
};
