#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "lists/ListCommands.h"
#include "lists/ListFile.h"
#include "tests/support/NamedCase.h"
#include "tests/support/ScriptedDialog.h"
#include "tests/support/TempDir.h"
#include "ui/ListFileTexts.h"

namespace fs = std::filesystem;

namespace {

const std::string kCannotOpen = " \x82\xcd\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1";  // " は開けません"
const std::string kCannotCreate = " \x82\xf0\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";
const std::string kFile = "\x83\x74\x83\x40\x83\x43\x83\x8b ";
const std::string kWriteFailed =
    "\x83\x58\x83\x67\x83\x8a\x81\x5b\x83\x80\x82\xd6\x82\xcc\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x83\x47\x83\x89\x81\x5b";
const std::string kTooLarge =
    "\x95\xb6\x8e\x9a\x97\xf1\x82\xcc\x91\xe5\x82\xab\x82\xb3\x82\xaa \x83\x81\x83\x82 \x82\xcc\x90\xa7\x8c\xc0\x82\xf0"
    "\x89\x7a\x82\xa6\x82\xdc\x82\xb5\x82\xbd";

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
void spit(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const ListFileError& e) {
        return texts::listFileMessage(e, e.path());
    }
    return "(no error)";
}

struct NormaliseCase : NamedCase {
    std::string raw;
    std::string text;
};
class Normalise : public ::testing::TestWithParam<NormaliseCase> {};

TEST_P(Normalise, LineBreaksAndNul) {
    EXPECT_EQ(normaliseLoadedText(GetParam().raw), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    All, Normalise,
    ::testing::Values(NormaliseCase{"Empty", "", ""}, NormaliseCase{"CrLfKept", "a\r\nb\r\n", "a\r\nb\r\n"},
                      NormaliseCase{"LoneLf", "a\nb\n", "a\r\nb\r\n"}, NormaliseCase{"LoneCr", "a\rb", "a\r\nb"},
                      NormaliseCase{"CrBeforeCrLf", "a\r\r\nb", "a\r\n\r\nb"},
                      NormaliseCase{"LfCr", "a\n\rb", "a\r\n\r\nb"}, NormaliseCase{"TrailingCr", "a\r", "a\r\n"},
                      NormaliseCase{"NulCuts", std::string("a\nb\0c\nd", 7), "a\r\nb"},
                      NormaliseCase{"NulFirst", std::string("\0abc", 4), ""},
                      NormaliseCase{"Sjis", "\x83\x76\x83\x8d\n", "\x83\x76\x83\x8d\r\n"}),
    caseName);

// The window as Load and Save see it.
struct FakeHost : ListHost {
    std::string text;
    std::string path = kNoListLoaded;
    bool overwrite = false;
    int textSets = 0;
    std::string listText() const override { return text; }
    void setListText(const std::string& t) override { text = t, ++textSets; }
    std::string rememberedPath() const override { return path; }
    void setRememberedPath(const std::string& p) override { path = p; }
    bool overwriteSave() const override { return overwrite; }
};

// Loads (a name, or nullopt for Cancel), then an overwrite-save of the list "saved".
struct OverwriteCase : NamedCase {
    std::vector<std::optional<std::string>> loads;
    std::string remembered;  // "" means empty; names are relative to the test folder
    std::string writtenTo;   // the file that gets the list, or "" when none
    std::string error;       // the expected message, or ""
    bool saveDialogShown;
};
class OverwriteSave : public ::testing::TestWithParam<OverwriteCase> {};

TEST_P(OverwriteSave, GoesToTheRememberedPath) {
    const OverwriteCase& c = GetParam();
    TempDir dir;
    const auto at = [&](const std::string& n) { return (dir.path / n).string(); };
    spit(dir.path / "first.txt", "one\r\n");
    spit(dir.path / "second.txt", "two\r\n");
    FakeHost host;
    ScriptedDialog open, save;
    for (const auto& load : c.loads) {
        open.answers.push_back(load ? std::optional(at(*load)) : std::nullopt);
        loadList(host, open);
    }
    EXPECT_EQ(host.path, c.remembered == "LoadFile_NamePath" || c.remembered.empty() ? c.remembered : at(c.remembered));
    host.text = "saved\r\n";
    host.overwrite = true;
    save.answers.push_back(at("chosen.txt"));
    const std::string error = messageOf([&] { saveList(host, save); });
    EXPECT_EQ(error, c.error.empty() ? "(no error)" : c.error);
    EXPECT_EQ(save.shown, c.saveDialogShown ? 1 : 0);
    if (!c.writtenTo.empty()) {
        EXPECT_EQ(slurp(dir.path / c.writtenTo), "saved\r\n");
    }
    for (const char* other : {"first.txt", "second.txt"}) {
        if (c.writtenTo != other) {
            EXPECT_NE(slurp(dir.path / other), "saved\r\n");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, OverwriteSave,
    ::testing::Values(
        OverwriteCase{"AfterLoad", {"first.txt"}, "first.txt", "first.txt", "", false},
        OverwriteCase{"AfterLoadThenCancel", {"first.txt", std::nullopt}, "first.txt", "first.txt", "", false},
        OverwriteCase{"AfterTwoLoads", {"first.txt", "second.txt"}, "second.txt", "second.txt", "", false},
        OverwriteCase{"AfterFirstLoadCancelled", {std::nullopt}, "", "", kFile + kCannotCreate, false},
        OverwriteCase{"WithNoLoadAtAll", {}, "LoadFile_NamePath", "chosen.txt", "", true}),
    caseName);

TEST(ListCommands, LoadSetsTextOnlyWhenItDiffersAndSaveDoesNotRemember) {
    TempDir dir;
    spit(dir.path / "a.txt", "p1\np2");
    FakeHost host;
    ScriptedDialog open, save;
    open.answers = {(dir.path / "a.txt").string(), (dir.path / "a.txt").string()};
    loadList(host, open);
    EXPECT_EQ(host.text, "p1\r\np2");
    loadList(host, open);
    EXPECT_EQ(host.textSets, 1);  // same text: the editor is left alone

    save.answers = {(dir.path / "b.txt").string()};
    saveList(host, save);
    EXPECT_EQ(slurp(dir.path / "b.txt"), "p1\r\np2");
    EXPECT_EQ(host.path, (dir.path / "a.txt").string());
    save.answers = {std::nullopt};
    saveList(host, save);  // cancelled: nothing written, no error
}

TEST(ListFile, RefusesWhatTheEditorCannotHoldBeforeReadingIt) {
    TempDir dir;
    const fs::path big = dir.path / "big.txt";
    { std::ofstream(big) << ""; }
    fs::resize_file(big, kMaxListBytes + 1);  // sparse: refused by its size alone
    EXPECT_EQ(messageOf([&] { readRegularListFile(big.string()); }), kTooLarge);
    fs::resize_file(big, kMaxListBytes);
    EXPECT_EQ(readRegularListFile(big.string()), "");  // exactly the limit loads (and cuts at its first NUL)
    const int zero = ::open("/dev/zero", O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(messageOf([&] { readStreamBytes(zero, "/dev/zero"); }), kTooLarge);  // a stream with no end
    ::close(zero);
}

// More lines than the editor loads in time are refused before it is touched; the line limit itself loads.
TEST(ListCommands, LoadRefusesMoreLinesThanTheLimit) {
    TempDir dir;
    FakeHost host;
    host.text = "kept";
    ScriptedDialog open;
    spit(dir.path / "over.txt", std::string(kMaxListLines, '\n') + "last");
    spit(dir.path / "limit.txt", std::string(kMaxListLines, '\n'));
    open.answers = {(dir.path / "over.txt").string(), (dir.path / "limit.txt").string()};
    EXPECT_EQ(messageOf([&] { loadList(host, open); }), kTooLarge);
    EXPECT_EQ(host.text, "kept");
    EXPECT_EQ(host.path, kNoListLoaded);
    loadList(host, open);
    EXPECT_EQ(host.text.size(), 2 * kMaxListLines);
}

// A failed load changes nothing. What is not a regular file is refused at once, however long its other end would keep
// the reader waiting.
TEST(ListCommands, LoadTakesRegularFilesOnly) {
    TempDir dir;
    const fs::path fifo = dir.path / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // a writer that never writes
    fs::create_symlink("fifo", dir.path / "link-to-fifo");
    for (const std::string& path :
         {(dir.path / "missing.txt").string(), fifo.string(), (dir.path / "link-to-fifo").string(),
          std::string("/dev/zero"), std::string("/dev/null"), dir.path.string()}) {
        FakeHost host;
        host.text = "kept";
        ScriptedDialog open;
        open.answers = {path};
        EXPECT_EQ(messageOf([&] { loadList(host, open); }), kFile + path + kCannotOpen) << path;
        EXPECT_EQ(host.text, "kept") << path;
        EXPECT_EQ(host.path, kNoListLoaded) << path;
    }
    ::close(writer);
}

// Runs `f` in a child without root's power to write anywhere; returns what it threw.
std::string messageAsUnprivileged(const std::function<void()>& f) {
    if (::geteuid() != 0) return messageOf(f);
    int fds[2];
    if (::pipe(fds) != 0) return "pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(1);
        const std::string m = messageOf(f);
        if (::write(fds[1], m.data(), m.size()) < 0) ::_exit(1);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string m;
    char buf[512];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) m.append(buf, std::size_t(n));
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return m;
}

TEST(ListFile, FailedSavesKeepTheOldFileAndSayWhy) {
    TempDir dir;
    // A read-only folder.
    const fs::path locked = dir.path / "locked";
    fs::create_directory(locked);
    spit(locked / "list.txt", "old\r\n");
    fs::permissions(dir.path, fs::perms::all, fs::perm_options::add);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    const std::string target = (locked / "list.txt").string();
    EXPECT_EQ(messageAsUnprivileged([&] { writeListFile(target, "new\r\n"); }), kFile + target + kCannotCreate);
    EXPECT_EQ(slurp(target), "old\r\n");

    // A disk that fills up while the new list is written (a file-size limit stands in for it).
    const fs::path file = dir.path / "full.txt";
    spit(file, "old\r\n");
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 4;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const std::string message = messageOf([&] { writeListFile(file.string(), "a much longer new list\r\n"); });
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(message, kWriteFailed);
    EXPECT_EQ(slurp(file), "old\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2);  // no temporary left

    // A device that is full.
    EXPECT_EQ(messageOf([&] { writeListFile("/dev/full", "x\r\n"); }), kWriteFailed);
}

TEST(ListFile, SaveReplacesALinkTargetAndKeepsPermissions) {
    TempDir dir;
    const fs::path real = dir.path / "real.txt";
    spit(real, "old");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real.txt", dir.path / "link.txt");
    writeListFile((dir.path / "link.txt").string(), "a\r\n\x83\x76\x80\r\n");
    EXPECT_TRUE(fs::is_symlink(dir.path / "link.txt"));
    EXPECT_EQ(slurp(real), "a\r\n\x83\x76\x80\r\n");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    writeListFile((dir.path / "new.txt").string(), "");
    EXPECT_EQ(fs::file_size(dir.path / "new.txt"), 0u);
}

constexpr uid_t kUser = 65534;  // the unprivileged user saves run as, when the suite runs as root

struct SaveCase : NamedCase {
    bool needsRoot;                                      // the set-up makes files of another owner
    std::function<fs::path(const fs::path& dir)> setUp;  // in a folder the user may write; what to save to
    std::string error;                                   // the message's kind, or "" when the save succeeds
    std::function<void(const fs::path& file)> check = [](const fs::path&) {};
    rlim_t fileSizeLimit = RLIM_INFINITY;  // stands in for a disk that fills up
};

fs::path userFile(const fs::path& at, fs::perms perms = fs::perms::owner_read | fs::perms::owner_write) {
    spit(at, "old\r\n");
    [[maybe_unused]] const int owned = ::chown(at.c_str(), kUser, kUser);  // ours already unless root
    fs::permissions(at, perms);
    return at;
}

uid_t ownerOf(const fs::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_uid;
}

class Save : public ::testing::TestWithParam<SaveCase> {};

TEST_P(Save, AsAnUnprivilegedUser) {
    const SaveCase& c = GetParam();
    if (c.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "needs root to make another user's files";
    TempDir dir;
    [[maybe_unused]] const int owned = ::chown(dir.path.c_str(), kUser, kUser);
    const fs::path file = c.setUp(dir.path);
    const std::string old = fs::exists(file) ? slurp(file) : "";
    const std::string message = messageAsUnprivileged([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{c.fileSizeLimit, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        writeListFile(file.string(), "new list\r\n");
    });
    if (c.error.empty()) {
        EXPECT_EQ(message, "(no error)");
        EXPECT_EQ(slurp(file), "new list\r\n");
    } else {
        EXPECT_EQ(message, c.error == kWriteFailed ? kWriteFailed : kFile + file.string() + c.error);
        EXPECT_EQ(slurp(file), old);  // byte for byte
    }
    c.check(file);
    for (const auto& e : fs::recursive_directory_iterator(dir.path))
        EXPECT_FALSE(e.path().filename().string().starts_with(".kiriha-")) << "temporary file left";
}

INSTANTIATE_TEST_SUITE_P(
    All, Save,
    ::testing::Values(
        SaveCase{"ReadOnlyFile", false,
                 [](const fs::path& d) { return userFile(d / "list.txt", fs::perms::owner_read); }, kCannotCreate},
        SaveCase{"AnotherUsersFileInTheUsersFolder", true,
                 [](const fs::path& d) {
                     spit(d / "list.txt", "old\r\n");
                     return d / "list.txt";
                 },
                 kCannotCreate, [](const fs::path& f) { EXPECT_EQ(ownerOf(f), 0u); }},
        SaveCase{"AnotherUsersFileWritableByAll", true,
                 [](const fs::path& d) {
                     spit(d / "list.txt", "old\r\n");
                     fs::permissions(d / "list.txt", fs::perms::all & ~fs::perms::owner_exec & ~fs::perms::group_exec &
                                                         ~fs::perms::others_exec);
                     return d / "list.txt";
                 },
                 "", [](const fs::path& f) { EXPECT_EQ(ownerOf(f), 0u); }},  // written in place, still theirs
        SaveCase{"WritableFileInAFolderTheUserMayNotWrite", true,
                 [](const fs::path& d) {
                     fs::create_directory(d / "locked");  // root's
                     return userFile(d / "locked" / "list.txt");
                 },
                 ""},
        SaveCase{"LongestName", false, [](const fs::path& d) { return userFile(d / (std::string(251, 'n') + ".txt")); },
                 ""},
        SaveCase{"NewFile", false, [](const fs::path& d) { return d / "new.txt"; }, "",
                 [](const fs::path& f) { EXPECT_EQ(ownerOf(f), ::geteuid() == 0 ? kUser : ::geteuid()); }},
        SaveCase{"HardLinked", false,
                 [](const fs::path& d) {
                     fs::create_hard_link(userFile(d / "list.txt"), d / "other-link.txt");
                     return d / "list.txt";
                 },
                 "", [](const fs::path& f) { EXPECT_EQ(slurp(f.parent_path() / "other-link.txt"), "new list\r\n"); }},
        SaveCase{"HardLinkedOnAFullDisk", false,
                 [](const fs::path& d) {
                     fs::create_hard_link(userFile(d / "list.txt"), d / "other-link.txt");
                     return d / "list.txt";
                 },
                 kWriteFailed,
                 [](const fs::path& f) { EXPECT_EQ(slurp(f.parent_path() / "other-link.txt"), "old\r\n"); }, 8}),
    caseName);

}  // namespace
