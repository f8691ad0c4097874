#pragma once
// Helpers shared by the firmware tests: code bytes and images loaded from disk.
#include "firmware/BirdFile.h"
#include "firmware/BirdWriter.h"

#include "common/Log.h"
#include "support/CodeBytes.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using testsupport::Code;
using testsupport::TempDir;

#include <string>
#include <vector>

// An image written to a scratch directory and loaded from there, with the debug log of
// the load.
struct Loaded {
    TempDir dir;
    BirdFile file;
    bool ok = false;
    std::string log;
};

inline void LoadInto(Loaded& loaded, const std::vector<uint8_t>& fileBytes)
{
    loaded.file.path = loaded.dir.Write("image.bird", fileBytes);
    LogCapture capture(DEBUG_BirdFile);
    loaded.ok = loaded.file.Load();
    loaded.log = capture.Text();
}

inline bool Has(const std::string& text, const std::string& fragment)
{
    return text.find(fragment) != std::string::npos;
}
