// Outputs that would write over an input or over each other. A program checks its file
// options before it opens anything: writing one file under two names destroys what the other
// holds or is to hold.
#ifndef VANDRY_CORE_FILE_IDENTITY_H
#define VANDRY_CORE_FILE_IDENTITY_H

#include "platform/platform.h"

#include <optional>
#include <string>
#include <vector>

namespace vandry {

// A file that an option names; an empty path is no file.
struct NamedFile {
    std::string option; // e.g. "--report"
    std::string path;
    bool output = false;
};

// What the file system says of a file: its path made absolute and plain, and its identity when
// it exists.
struct FileFacts {
    std::string absolute;
    std::optional<platform::FileId> id;
};

// The first output that is the same file as an input or another output (the same absolute
// path, or the same file found under both names), or empty; facts[i] is of files[i].
std::string file_clash(const std::vector<NamedFile> &files, const std::vector<FileFacts> &facts);

// The same, with the identities of the files as they are now.
std::string file_clash(const std::vector<NamedFile> &files);

} // namespace vandry

#endif
