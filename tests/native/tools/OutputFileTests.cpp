// Where velomix writes OUT: who owns the result and with which mode, what a killed run leaves
// behind, hard links, pipes, and when OUT counts as IN. The rules (COutputFile) are tried in
// this process where a run cannot reach a case; the rest through the tool as a user runs it.
#include "OutputFile.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// Identities a test hands out by name, in place of the system's.
std::map<std::string, FileIdentity>& FakeIdentities() {
    static std::map<std::string, FileIdentity> identities;
    return identities;
}

bool FakeIdentify(const std::string& path, FileIdentity* pIdentity) {
    const auto it = FakeIdentities().find(path);
    if (it == FakeIdentities().end())
        return false;
    *pIdentity = it->second;
    return true;
}

} // namespace

// An inode number repeats on every device: only device and inode together name one file.
TEST(OutputFileIdentity, OneFileIsTheSameDeviceAndTheSameInode) {
    FakeIdentities() = {{"in.wav", {0x801, 4242}},
                        {"link.wav", {0x801, 4242}},
                        {"usb.wav", {0x812, 4242}},
                        {"near.wav", {0x801, 4243}},
                        {"high.wav", {0x801, 4242 + (uint64_t{1} << 32)}}};
    EXPECT_TRUE(COutputFile::SameFile("in.wav", "link.wav", FakeIdentify));
    EXPECT_FALSE(COutputFile::SameFile("in.wav", "usb.wav", FakeIdentify))
        << "the same inode on another device";
    EXPECT_FALSE(COutputFile::SameFile("in.wav", "near.wav", FakeIdentify));
    EXPECT_FALSE(COutputFile::SameFile("in.wav", "high.wav", FakeIdentify))
        << "inodes that differ past 32 bits";
    EXPECT_FALSE(COutputFile::SameFile("in.wav", "missing.wav", FakeIdentify));
    EXPECT_FALSE(COutputFile::SameFile("missing.wav", "missing.wav", FakeIdentify))
        << "two names of no file are not one file";
    FakeIdentities().clear();
}
