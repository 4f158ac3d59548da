// Writes that fail under the real program: a save into a directory that
// cannot take a new file, onto a full file system, a process killed in the
// middle of writing a large texture file, and PCX files of an export that
// cannot be written in full. The user's texture file must come out either
// as it was or as the finished new file, never anything in between.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/fixture.h"
#include "support/run.h"

extern char** environ;

namespace {

using fixture::bytes;
using run::fatal_report;
using run::workspace;
namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

// Temporary files of the save, named after the file they replace.
bool is_temporary(const std::string& name) {
    return name.find(".ostrel-") != std::string::npos;
}

using fixture::names_in;

// Starts the program in `dir` with its output thrown away; with `uid` set,
// as that user (so that permissions bind a test that runs as root).
pid_t start(const std::string& dir, const std::vector<std::string>& args, uid_t uid = 0,
            const std::string& out_file = "/dev/null") {
    std::vector<std::string> strings = {run::binary()};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "OSTREL_PATH=", 12) != 0)
            envp.push_back(*e);
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0)
            _exit(125);
        if (uid != 0 && (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0))
            _exit(124);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int wait_status(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

std::string read_text(const std::string& path) {
    const bytes data = fixture::read_file(path);
    return std::string(data.begin(), data.end());
}

// new.pcx has `colours`: by default those of a first image with a colour
// map of seed 0.
void put_import_files(const std::string& dir, const bytes& texture,
                      const bytes& colours = fixture::cmap()) {
    fixture::write_file(dir + "/TEXBSI.001", texture);
    fixture::write_file(dir + "/redguard.col", fixture::palette());
    fixture::write_file(dir + "/ostrel.ini", {});
    fixture::write_file(dir + "/new.pcx",
                        fixture::pcx_file(3, 2, fixture::pixels(3, 2), colours));
}

const std::vector<std::string> import_args = {"/2TEX", "/i:1", "TEXBSI.001", "new.pcx"};
const std::string save_failed = "Error saving texture file 'TEXBSI.001'!";

// --- A directory that cannot take the new file ----------------------------------

TEST(FaultInjection, ReadOnlyDirectoryKeepsTheTextureFile) {
    fixture::temp_dir dir, outside;
    const std::string work = dir.file("game");
    fs::create_directory(work);
    chmod(dir.path().c_str(), 0755);  // whatever the umask, nobody may look inside
    const bytes texture = fixture::texture_file({fixture::simple_image("ONE", 64, 64, true)});
    put_import_files(work, texture);
    ASSERT_EQ(0, chmod(work.c_str(), 0555));

    // Root ignores permissions: run as nobody. The output file is opened
    // before the switch.
    const bool as_root = geteuid() == 0;
    const std::string out = outside.file("out");
    const int status = wait_status(start(work, import_args, as_root ? 65534 : 0, out));
    chmod(work.c_str(), 0755);
    ASSERT_NE(status, 124) << "cannot switch to an unprivileged user";

    EXPECT_EQ(status, 0);
    // No log either: the directory cannot take one.
    EXPECT_EQ(read_text(out), fatal_report("Failed to open file!", save_failed));
    EXPECT_EQ(fixture::read_file(work + "/TEXBSI.001"), texture);
    EXPECT_EQ(names_in(work),
              (std::vector<std::string>{"TEXBSI.001", "new.pcx", "ostrel.ini", "redguard.col"}));
}

// --- A full file system ------------------------------------------------------------

// Runs `body` in a child process that has a file system of its own, `kib`
// KiB of memory mounted at `mount_point` (a user and mount namespace, so no
// privileges are needed where the kernel allows unprivileged namespaces).
// The body's text comes back; a child that cannot mount says "SKIP ...".
std::string in_small_file_system(const std::string& mount_point, int kib,
                                 const std::function<std::string()>& body) {
    int channel[2];
    if (pipe(channel) != 0)
        return "SKIP no pipe";
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(channel[0]);
        auto reply = [&](const std::string& text) {
            size_t done = 0;
            while (done < text.size()) {
                const ssize_t n = write(channel[1], text.data() + done, text.size() - done);
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            _exit(0);
        };
        if (unshare(CLONE_NEWNS) != 0) {
            if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
                reply(std::string("SKIP no user namespace: ") + std::strerror(errno));
            // Ourselves as root of the new namespace, so that we may mount.
            const std::string maps[][2] = {
                {"/proc/self/setgroups", "deny"},
                {"/proc/self/uid_map", "0 " + std::to_string(uid) + " 1"},
                {"/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"}};
            for (const auto& map : maps) {
                const int fd = open(map[0].c_str(), O_WRONLY);
                const bool written = fd >= 0 && write(fd, map[1].data(), map[1].size()) ==
                                                    static_cast<ssize_t>(map[1].size());
                if (fd >= 0)
                    close(fd);
                if (!written)
                    reply("SKIP cannot map the user: " + map[0]);
            }
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            reply(std::string("SKIP mounts not private: ") + std::strerror(errno));
        const std::string size = "size=" + std::to_string(kib) + "k";
        if (mount("ostrel-test", mount_point.c_str(), "tmpfs", 0, size.c_str()) != 0)
            reply(std::string("SKIP no tmpfs: ") + std::strerror(errno));
        try {
            reply(body());
        } catch (const std::exception& e) {
            reply(std::string("FAILED in the small file system: ") + e.what());
        }
    }
    close(channel[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(n));
    close(channel[0]);
    waitpid(pid, nullptr, 0);
    return text;
}

TEST(FaultInjection, FullFileSystemKeepsTheTextureFile) {
    fixture::temp_dir dir;
    // 250,000 bytes of pixels; the file system holds it with some 60 KiB to
    // spare, so the new file beside it runs out of room part-way.
    const bytes texture = fixture::texture_file({fixture::simple_image("BIG", 500, 500, true),
                                                 fixture::simple_image("SMALL", 8, 8, false)});
    const std::string report = in_small_file_system(dir.path(), 320, [&] {
        put_import_files(dir.path(), texture, fixture::palette());  // SMALL has no colour map
        run::options o;
        o.dir = dir.path();
        o.args = {"/2TEX", "/i:2", "TEXBSI.001", "new.pcx"};  // the new file is as large
        const run::result r = run::piped(o);
        std::string files;
        for (const std::string& name : names_in(dir.path()))
            files += name + " ";
        return "status " + std::to_string(r.status) + "\nsame " +
               (fixture::read_file(dir.file("TEXBSI.001")) == texture ? "yes" : "no") + "\nfiles " +
               files + "\n" + r.out;
    });
    if (report.rfind("SKIP", 0) == 0)
        GTEST_SKIP() << "NOTICE: no small file system could be made (" << report << ")";
    EXPECT_EQ(report,
              "status 0\nsame yes\nfiles TEXBSI.001 new.pcx ostrel.ini ostrel.log "
              "redguard.col \n" +
                  fatal_report("Could not write to file!", save_failed));
}

// The export writes each picture beside its name first: on a full file
// system the user's earlier file of that name stays whole, and no cut file
// or temporary file is left.
TEST(FaultInjection, FullFileSystemKeepsAnEarlierPicture) {
    fixture::temp_dir dir;
    const bytes texture = fixture::texture_file({fixture::simple_image("BIG", 500, 500, false),
                                                 fixture::simple_image("SMALL", 8, 4, false)});
    // 250,000 bytes of pixels and the earlier file leave some 50 KiB: room
    // for the small picture, not for the big one.
    const bytes earlier(100000, 0x5A);
    const std::string report = in_small_file_system(dir.path(), 400, [&] {
        fixture::write_file(dir.file("TEXBSI.001"), texture);
        fixture::write_file(dir.file("redguard.col"), fixture::palette());
        fixture::write_file(dir.file("ostrel.ini"), {});
        fixture::write_file(dir.file("big.pcx"), earlier);
        run::options o;
        o.dir = dir.path();
        o.args = {"TEXBSI.001"};
        o.input = "yy";
        const run::result r = run::piped(o);
        std::string files;
        for (const std::string& name : names_in(dir.path()))
            files += name + " ";
        return "status " + std::to_string(r.status) + "\nearlier " +
               (fixture::read_file(dir.file("big.pcx")) == earlier ? "kept" : "lost") +
               "\nfiles " + files + "\n" + r.out;
    });
    if (report.rfind("SKIP", 0) == 0)
        GTEST_SKIP() << "NOTICE: no small file system could be made (" << report << ")";
    EXPECT_EQ(report, "status 1\nearlier kept\nfiles TEXBSI.001 big.pcx ostrel.ini ostrel.log "
                      "redguard.col small.pcx \n" +
                          run::offer("big", "500x500", "big.pcx") +
                          "      Error exporting PCX file!\n" +
                          "      could not write 'big.pcx': No space left on device\n" +
                          run::offer("small", "8x4", "small.pcx"));
}

// --- Killed in the middle of the save ----------------------------------------------

// The whole file, read at once (a 64 MiB file byte by byte through a stream
// iterator would take seconds).
bytes slurp(const std::string& path) {
    bytes data;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return data;
    data.resize(static_cast<size_t>(fs::file_size(path)));
    data.resize(std::fread(data.data(), 1, data.size(), file));
    std::fclose(file);
    return data;
}

// A 64 MiB picture replaced by one of the same size: the new file differs
// from the old one only in its pixels, so any mixture of the two shows.
TEST(FaultInjection, KilledImportLeavesTheOldOrTheNewFile) {
    constexpr int side = 8192;
    fixture::temp_dir dir;
    fixture::image big = fixture::simple_image("BIG", 4, 4, true);
    big.records[3].content.assign(static_cast<size_t>(side) * side, 0x22);  // BHDR IFHD CMAP DATA
    big.records[0].content = fixture::bhdr(side, side);
    const fixture::image two = fixture::simple_image("TWO", 4, 4, false);
    const bytes old_file = fixture::texture_file({big, two});
    std::fill(big.records[3].content.begin(), big.records[3].content.end(), 0x11);
    const bytes new_file = fixture::texture_file({big, two});
    ASSERT_EQ(old_file.size(), new_file.size());
    const std::string texture = dir.file("TEXBSI.001");
    fixture::write_file(dir.file("redguard.col"), fixture::palette());
    fixture::write_file(dir.file("ostrel.ini"), {});
    fixture::write_file(dir.file("new.pcx"),
                        fixture::pcx_file(side, side, big.records[3].content, fixture::cmap()));
    big = fixture::image();

    auto temporary_size = [&]() -> intmax_t {
        for (const std::string& name : names_in(dir.path()))
            if (is_temporary(name))
                return static_cast<intmax_t>(fs::file_size(dir.file(name)));
        return -1;
    };

    // An undisturbed run first, to learn how long the import takes.
    fixture::write_file(texture, old_file);
    const auto began = clock_type::now();
    ASSERT_EQ(wait_status(start(dir.path(), import_args)), 1);
    const auto full_run = clock_type::now() - began;
    ASSERT_TRUE(slurp(texture) == new_file);
    fixture::write_file(texture, old_file);

    int olds = 0, news = 0;
    auto check_after_kill = [&](const std::string& when) {
        const bytes now = slurp(texture);
        const bool is_old = now == old_file, is_new = now == new_file;
        EXPECT_TRUE(is_old || is_new) << "killed " << when << ": a mixture of old and new";
        olds += is_old;
        news += is_new;
        // A killed process cannot clean up after itself. The next save makes
        // a temporary file of another name, so a leftover one harms nothing
        // but space.
        for (const std::string& name : names_in(dir.path()))
            if (is_temporary(name))
                fs::remove(dir.file(name));
        if (!is_old)
            fixture::write_file(texture, old_file);
    };

    for (const double fraction : {0.2, 0.5, 0.8, 0.95}) {
        const pid_t pid = start(dir.path(), import_args);
        std::this_thread::sleep_for(full_run * fraction);
        kill(pid, SIGKILL);
        wait_status(pid);
        check_after_kill("at " + std::to_string(fraction) + " of a run");
    }

    // Once more, killed while the new file is seen half written.
    const pid_t pid = start(dir.path(), import_args);
    bool caught = false;
    const auto deadline = clock_type::now() + 4 * full_run + std::chrono::seconds(5);
    while (!caught && clock_type::now() < deadline) {
        const intmax_t size = temporary_size();
        if (size > 0 && size < static_cast<intmax_t>(new_file.size())) {
            kill(pid, SIGKILL);
            caught = true;
        }
    }
    if (!caught)
        kill(pid, SIGKILL);
    wait_status(pid);
    EXPECT_TRUE(caught) << "the new file was never seen half written";
    if (caught) {
        EXPECT_TRUE(slurp(texture) == old_file) << "killed halfway: not the old file";
    }
    check_after_kill("halfway through the write");
    RecordProperty("kills_leaving_old", olds);
    RecordProperty("kills_leaving_new", news);
}

// --- PCX files of an export that cannot be written --------------------------------

// The first image's PCX file cannot be written in full; the walk goes on
// and writes the second.
TEST(FaultInjection, FailedPcxWriteIsReportedAndTheExportGoesOn) {
    const std::vector<fixture::image> images = {
        fixture::simple_image("BIG", 300, 200, false),
        fixture::simple_image("SMALL", 8, 4, true, true, 1)};
    const bytes small_pcx = fixture::pcx_file(8, 4, fixture::pixels(8, 4, 1), fixture::cmap(1));
    const auto expected = [](const std::string& why) {
        return run::offer("big", "300x200", "big.pcx") + "      Error exporting PCX file!\n      " +
               why + "\n" + run::offer("small", "8x4", "small.pcx");
    };
    struct way {
        const char* label;
        long file_size_limit;
        bool full_device;
        const char* why;
    };
    for (const way& w :
         {way{"file size limit", 16 * 1024, false, "could not write 'big.pcx': File too large"},
          way{"full device", 0, true,
              "could not create 'big.pcx': it is a device or a pipe, not a file"}}) {
        SCOPED_TRACE(w.label);
        workspace ws;
        ws.put("TEXBSI.001", fixture::texture_file(images));
        ws.put("redguard.col", fixture::palette());
        ws.put_text("ostrel.ini", "");
        if (w.full_device)
            fs::create_symlink("/dev/full", ws.path("big.pcx"));
        else
            ws.put_text("big.pcx", "the user's own");
        run::options o = ws.with({"TEXBSI.001"}, "yy");
        o.file_size_limit = w.file_size_limit;
        const run::result r = run::piped(o);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, expected(w.why));
        EXPECT_EQ(ws.bytes("small.pcx"), small_pcx);
        // What was there before stays as it was, and nothing is left beside it.
        if (w.full_device) {
            EXPECT_TRUE(fs::is_symlink(ws.path("big.pcx")));
        } else {
            EXPECT_EQ(ws.text("big.pcx"), "the user's own");
        }
        for (const std::string& name : names_in(ws.path()))
            EXPECT_FALSE(is_temporary(name)) << name;
    }
}

}  // namespace
