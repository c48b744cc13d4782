// One hive of the native registry store in memory, and its text form.
#include "RegistryStore.h"

#include <cstdio>
#include <cstring>
#include <set>

namespace regstore {

namespace {

const char kHeader[] = "VELOMIX REGISTRY 1";

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void AppendQuoted(std::string* out, const char* text, size_t cb) {
    *out += '"';
    for (size_t i = 0; i < cb; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\\' || c == '"') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (IsControl(c)) {
            char esc[8];
            std::snprintf(esc, sizeof(esc), "\\x%02x", c);
            *out += esc;
        } else {
            *out += static_cast<char>(c);
        }
    }
    *out += '"';
}

void AppendHex(std::string* out, const std::vector<BYTE>& data) {
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(byte, sizeof(byte), i ? ",%02x" : "%02x", data[i]);
        *out += byte;
    }
}

// REG_SZ data that reads back the same from the quoted form: one terminating zero, no other.
bool IsPlainString(const Value& v) {
    return v.type == kRegSz && !v.data.empty() && v.data.back() == 0 &&
           std::memchr(v.data.data(), 0, v.data.size() - 1) == nullptr;
}

// A cursor over one line of the file.
class CLineParser {
public:
    explicit CLineParser(const std::string& line) : m_Line(line) {}

    bool AtEnd() const { return m_Pos == m_Line.size(); }
    bool Take(char c) {
        if (m_Pos < m_Line.size() && m_Line[m_Pos] == c) {
            ++m_Pos;
            return true;
        }
        return false;
    }
    bool TakeWord(const char* word) {
        const size_t n = std::strlen(word);
        if (m_Line.compare(m_Pos, n, word) != 0)
            return false;
        m_Pos += n;
        return true;
    }
    // A quoted text starting at the cursor, unescaped.
    bool Quoted(std::string* out) {
        if (!Take('"'))
            return false;
        out->clear();
        while (m_Pos < m_Line.size()) {
            const char c = m_Line[m_Pos++];
            if (c == '"')
                return true;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (m_Pos >= m_Line.size())
                return false;
            const char e = m_Line[m_Pos++];
            if (e == '\\' || e == '"') {
                *out += e;
            } else if (e == 'x' && m_Pos + 2 <= m_Line.size() && HexDigit(m_Line[m_Pos]) >= 0 &&
                       HexDigit(m_Line[m_Pos + 1]) >= 0) {
                *out +=
                    static_cast<char>(HexDigit(m_Line[m_Pos]) * 16 + HexDigit(m_Line[m_Pos + 1]));
                m_Pos += 2;
            } else {
                return false;
            }
        }
        return false;
    }
    // Hex digits up to the first non-digit; at least one, at most maxDigits.
    bool HexNumber(size_t maxDigits, DWORD* out) {
        DWORD v = 0;
        size_t n = 0;
        while (m_Pos < m_Line.size() && HexDigit(m_Line[m_Pos]) >= 0 && n < maxDigits) {
            v = v * 16 + static_cast<DWORD>(HexDigit(m_Line[m_Pos++]));
            ++n;
        }
        *out = v;
        return n > 0;
    }
    // "aa,bb,..." to the end of the line (possibly empty).
    bool HexBytes(std::vector<BYTE>* out) {
        out->clear();
        if (AtEnd())
            return true;
        do {
            if (m_Pos + 2 > m_Line.size() || HexDigit(m_Line[m_Pos]) < 0 ||
                HexDigit(m_Line[m_Pos + 1]) < 0)
                return false;
            out->push_back(
                static_cast<BYTE>(HexDigit(m_Line[m_Pos]) * 16 + HexDigit(m_Line[m_Pos + 1])));
            m_Pos += 2;
        } while (Take(','));
        return AtEnd();
    }

private:
    const std::string& m_Line;
    size_t m_Pos = 0;
};

// One value line.
void AppendValue(std::string* out, const Value& v) {
    if (v.name.empty())
        *out += '@';
    else
        AppendQuoted(out, v.name.data(), v.name.size());
    *out += '=';
    if (IsPlainString(v)) {
        AppendQuoted(out, reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1);
    } else if (v.type == kRegDword && v.data.size() == 4) {
        char dw[16];
        std::snprintf(dw, sizeof(dw), "dword:%08x",
                      static_cast<unsigned>(v.data[0] | v.data[1] << 8 | v.data[2] << 16 |
                                            static_cast<DWORD>(v.data[3]) << 24));
        *out += dw;
    } else if (v.type == kRegBinary) {
        *out += "hex:";
        AppendHex(out, v.data);
    } else {
        char type[24];
        std::snprintf(type, sizeof(type), "hex(%x):", static_cast<unsigned>(v.type));
        *out += type;
        AppendHex(out, v.data);
    }
    *out += '\n';
}

// The data part of a value line (after '='); an empty string when it parsed, else the problem.
std::string ParseData(CLineParser& p, Value* v) {
    if (p.TakeWord("dword:")) {
        DWORD n = 0;
        if (!p.HexNumber(8, &n) || !p.AtEnd())
            return "dword: needs up to eight hexadecimal digits";
        v->type = kRegDword;
        v->data = {static_cast<BYTE>(n), static_cast<BYTE>(n >> 8), static_cast<BYTE>(n >> 16),
                   static_cast<BYTE>(n >> 24)};
        return {};
    }
    if (p.TakeWord("hex(")) {
        if (!p.HexNumber(8, &v->type) || !p.Take(')') || !p.Take(':'))
            return "hex(type): needs a hexadecimal type";
        return p.HexBytes(&v->data) ? std::string() : "bad hexadecimal bytes";
    }
    if (p.TakeWord("hex:")) {
        v->type = kRegBinary;
        return p.HexBytes(&v->data) ? std::string() : "bad hexadecimal bytes";
    }
    std::string text;
    if (!p.Quoted(&text) || !p.AtEnd())
        return "expected a quoted text, dword:, hex: or hex(type):";
    v->type = kRegSz;
    v->data.assign(text.begin(), text.end());
    v->data.push_back(0);
    return {};
}

} // namespace

const char* PathLimitProblem(const std::string& path) {
    size_t depth = 1;
    size_t part = 0;
    for (const char c : path) {
        if (c != '\\') {
            if (++part > kMaxKeyPartBytes)
                return "a part of the path is longer than 255 bytes";
            continue;
        }
        part = 0;
        if (++depth > kMaxKeyDepth)
            return "the path is deeper than 512 levels";
    }
    return nullptr;
}

bool SplitPath(const std::string& path, std::vector<std::string>* components) {
    components->clear();
    if (path.empty() || PathLimitProblem(path))
        return false;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('\\', start);
        std::string part =
            path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty())
            return false;
        for (const char c : part)
            if (IsControl(static_cast<unsigned char>(c)))
                return false;
        components->push_back(std::move(part));
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

std::string Fold(const std::string& text) {
    std::string folded(text);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

namespace {

// The key at path below root, or nullptr; walks the path without splitting it into a copy.
template <class K> K* Walk(K* root, const std::string& path) {
    if (path.empty())
        return nullptr;
    K* key = root;
    size_t start = 0;
    while (key) {
        const size_t end = path.find('\\', start);
        const auto it = key->subkeys.find(Fold(path.substr(start, end - start)));
        key = it == key->subkeys.end() ? nullptr : it->second.get();
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return key;
}

// The key and everything below it.
size_t CountKeys(const Key& key) {
    size_t n = 1;
    for (const auto& entry : key.subkeys)
        n += CountKeys(*entry.second);
    return n;
}

// Writes key and everything below it; path is its display path and is restored on return.
// Recursion is bounded by the depth limit every path that enters the tree is held to.
void SerializeKey(const Key& key, std::string* path, std::string* out) {
    if (!key.values.empty() || key.subkeys.empty()) {
        *out += "\n[";
        *out += *path;
        *out += "]\n";
        for (const Value& v : key.values)
            AppendValue(out, v);
    }
    for (const auto& entry : key.subkeys) {
        const size_t length = path->size();
        *path += '\\';
        *path += entry.second->name;
        SerializeKey(*entry.second, path, out);
        path->resize(length);
    }
}

} // namespace

const Key* CHive::Find(const std::string& path) const {
    return Walk(&m_Root, path);
}

Key* CHive::Find(const std::string& path) {
    return Walk(&m_Root, path);
}

bool CHive::HasRoomFor(const std::vector<std::string>& components) const {
    const Key* key = &m_Root;
    size_t existing = 0;
    for (const std::string& part : components) {
        const auto it = key->subkeys.find(Fold(part));
        if (it == key->subkeys.end())
            break;
        key = it->second.get();
        ++existing;
    }
    return m_cKeys + (components.size() - existing) <= kMaxKeys;
}

bool CHive::CreateKey(const std::vector<std::string>& components) {
    bool bCreated = false;
    Key* key = &m_Root;
    for (const std::string& part : components) {
        std::unique_ptr<Key>& slot = key->subkeys[Fold(part)];
        if (!slot) {
            // Existing parents keep their case.
            slot = std::make_unique<Key>();
            slot->name = part;
            ++m_cKeys;
            bCreated = true;
        }
        key = slot.get();
    }
    return bCreated;
}

bool CHive::SetValue(Key* key, const std::string& name, DWORD type, const BYTE* data, size_t cb) {
    const std::string folded = Fold(name);
    for (Value& v : key->values) {
        if (Fold(v.name) != folded)
            continue;
        if (v.type == type && v.data.size() == cb &&
            (cb == 0 || std::memcmp(v.data.data(), data, cb) == 0))
            return false;
        v.type = type;
        v.data.assign(data, data + cb);
        return true;
    }
    key->values.push_back(Value{name, type, std::vector<BYTE>(data, data + cb)});
    return true;
}

bool CHive::DeleteTree(const std::string& path) {
    const size_t slash = path.rfind('\\');
    Key* parent = slash == std::string::npos ? &m_Root : Find(path.substr(0, slash));
    if (!parent)
        return false;
    const auto it =
        parent->subkeys.find(Fold(slash == std::string::npos ? path : path.substr(slash + 1)));
    if (it == parent->subkeys.end())
        return false;
    m_cKeys -= CountKeys(*it->second);
    parent->subkeys.erase(it);
    return true;
}

std::vector<std::string> CHive::Subkeys(const std::string& path) const {
    std::vector<std::string> names;
    const Key* key = path.empty() ? &m_Root : Find(path);
    if (key)
        for (const auto& entry : key->subkeys)
            names.push_back(entry.second->name);
    return names;
}

bool CHive::Parse(const std::string& text, std::string* problem, std::vector<std::string>* notes) {
    m_Root = Key();
    m_cKeys = 0;
    Key* current = nullptr;
    bool bSkipping = false; // inside a key skipped for the path limits
    std::set<const Key*> listed;
    std::set<std::string> valueNames; // of the current key, folded
    size_t lineNo = 0;
    size_t pos = 0;
    auto fail = [&](const std::string& what) {
        *problem = "line " + std::to_string(lineNo) + ": " + what;
        m_Root = Key();
        m_cKeys = 0;
        return false;
    };
    while (pos < text.size() || lineNo == 0) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
            eol = text.size();
        std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (lineNo == 1) {
            if (line != kHeader)
                return fail(std::string("not a registry store file (expected \"") + kHeader +
                            "\")");
            continue;
        }
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == ';')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']')
                return fail("a key line must end with ']'");
            const std::string path = line.substr(1, line.size() - 2);
            // One absurd key must not make the whole hive unusable: it is skipped.
            const char* why = PathLimitProblem(path);
            std::vector<std::string> parts;
            if (!why && !SplitPath(path, &parts))
                return fail("bad key path");
            if (!why && !HasRoomFor(parts))
                why = "the hive holds as many keys as it may (100000)";
            if (why) {
                if (notes)
                    notes->push_back("line " + std::to_string(lineNo) + ": key skipped: " + why);
                current = nullptr;
                bSkipping = true;
                continue;
            }
            bSkipping = false;
            CreateKey(parts);
            current = Find(path);
            if (!listed.insert(current).second)
                return fail("key listed twice: " + path);
            valueNames.clear();
            continue;
        }
        if (bSkipping)
            continue;
        if (!current)
            return fail("a value before the first key");
        CLineParser p(line);
        Value v;
        if (!p.Take('@') && !p.Quoted(&v.name))
            return fail("expected @ or a quoted value name");
        if (!p.Take('='))
            return fail("expected '=' after the value name");
        const std::string bad = ParseData(p, &v);
        if (!bad.empty())
            return fail(bad);
        if (!valueNames.insert(Fold(v.name)).second)
            return fail("value listed twice: " + (v.name.empty() ? std::string("@") : v.name));
        current->values.push_back(std::move(v));
    }
    return true;
}

std::string CHive::Serialize() const {
    std::string out =
        std::string(kHeader) + "\n; Velomix registry store: written whole by each change.\n";
    std::string path;
    for (const auto& entry : m_Root.subkeys) {
        path = entry.second->name;
        SerializeKey(*entry.second, &path, &out);
    }
    return out;
}

} // namespace regstore
