// The native registry store's file parser: the input's bytes as a hive file. A file that
// parses is written back; that text must parse again and write back identically, and the
// keys it names must be found, listed and deletable. Parsing and writing cost time in
// proportion to the text, so a slow unit here is a finding too.
#include "FuzzSupport.h"

#include "posix/RegistryStore.h"

#include <string>
#include <vector>

namespace {

using fuzz::Broken;

// Every key path the text lists, as written.
std::vector<std::string> ListedPaths(const std::string& text) {
    std::vector<std::string> paths;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        if (text[pos] == '[' && eol > pos + 1 && text[eol - 1] == ']')
            paths.push_back(text.substr(pos + 1, eol - pos - 2));
        pos = eol + 1;
    }
    return paths;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    regstore::CHive hive;
    std::string problem;
    std::vector<std::string> notes;
    if (!hive.Parse(text, &problem, &notes)) {
        if (problem.compare(0, 5, "line ") != 0)
            Broken("a refusal without its line:", problem);
        return 0;
    }
    const std::string written = hive.Serialize();
    regstore::CHive again;
    if (!again.Parse(written, &problem))
        Broken("the store cannot read what it wrote:", problem);
    if (again.Serialize() != written)
        Broken("writing, reading and writing again changed the text");

    for (const std::string& path : ListedPaths(written)) {
        if (!again.Find(path))
            Broken("a written key is not found:", path);
        (void)again.Subkeys(path);
    }
    (void)again.Subkeys("");
    // Deleting what the input listed, then writing, still reads back.
    for (const std::string& path : ListedPaths(text)) {
        std::vector<std::string> parts;
        if (regstore::SplitPath(path, &parts) && again.Find(path)) {
            if (!again.DeleteTree(path) || again.Find(path))
                Broken("a key could not be deleted:", path);
        }
    }
    regstore::CHive last;
    if (!last.Parse(again.Serialize(), &problem))
        Broken("the store cannot read what it wrote after deleting:", problem);
    return 0;
}
