#include "core/file_identity.h"

#include <filesystem>
#include <system_error>

namespace vandry {

namespace {

bool same_file(const FileFacts &a, const FileFacts &b) {
    if (a.absolute == b.absolute)
        return true;
    return a.id && b.id && a.id->device == b.id->device && a.id->number == b.id->number;
}

} // namespace

std::string file_clash(const std::vector<NamedFile> &files, const std::vector<FileFacts> &facts) {
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (std::size_t j = i + 1; j < files.size(); ++j) {
            const NamedFile &a = files[i];
            const NamedFile &b = files[j];
            if (a.path.empty() || b.path.empty() || !(a.output || b.output) ||
                !same_file(facts[i], facts[j]))
                continue;
            const NamedFile &written = a.output ? a : b;
            const NamedFile &other = a.output ? b : a;
            return written.option + " " + written.path + " and " + other.option + " " + other.path +
                   " are the same file: writing " + written.option + " would destroy " +
                   (other.output ? "what " : "the file ") + other.option +
                   (other.output ? " writes" : " reads");
        }
    }
    return std::string();
}

std::string file_clash(const std::vector<NamedFile> &files) {
    std::vector<FileFacts> facts;
    for (const NamedFile &f : files) {
        FileFacts known;
        platform::FileId id;
        std::error_code ignored; // a path that cannot be made absolute is compared as given
        const std::filesystem::path absolute = std::filesystem::absolute(f.path, ignored);
        known.absolute = (absolute.empty() ? std::filesystem::path(f.path) : absolute)
                             .lexically_normal()
                             .string();
        if (!f.path.empty() && platform::file_id(f.path, &id))
            known.id = id;
        facts.push_back(known);
    }
    return file_clash(files, facts);
}

} // namespace vandry
