// The installer script spells the module's class keys out as text (it cannot include C): each
// must name the class the module itself registers, the one the kit's velomix_ids.h defines.
#include "RegistrationTest.h"

#include "FilterMapper.h"
#include "GuidText.h"

#include <fstream>
#include <sstream>

namespace {

// The value of `!define NAME "value"` in the installer script; empty when it is not there.
std::string ScriptDefine(const std::string& script, const std::string& name) {
    std::istringstream lines(script);
    const std::string prefix = "!define " + name + " \"";
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0 && line.size() > prefix.size() &&
            line.back() == '"') {
            return line.substr(prefix.size(), line.size() - prefix.size() - 1);
        }
    }
    return {};
}

TEST(InstallerScript, KeysNameTheClassesTheModuleRegisters) {
    std::ifstream file(VELOMIX_SOURCE_DIR "/packaging/velomix.nsi", std::ios::binary);
    ASSERT_TRUE(file) << "cannot read the installer script";
    std::ostringstream text;
    text << file.rdbuf();
    const std::string script = text.str();
    EXPECT_EQ(ScriptDefine(script, "CLASS_KEY"),
              "Software\\Classes\\CLSID\\" + GuidString(CLSID_Velomix));
    EXPECT_EQ(ScriptDefine(script, "INSTANCE_KEY"),
              "Software\\Classes\\" + FilterInstanceKey(CLSID_Velomix));
    EXPECT_EQ(ScriptDefine(script, "PAGE_KEY"),
              "Software\\Classes\\CLSID\\" + GuidString(CLSID_VelomixProp1));
}

} // namespace
