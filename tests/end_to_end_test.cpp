// Runs the built timed_test1c with the C library's time() replaced by a
// clock that counts calls, so the whole seven-minute sweep takes a moment.
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "output_shape.hpp"

namespace {

enum class standard_output { file, full_device, closed, pipe_without_reader };

struct run_result {
    int exit_status;
    std::string out;
    std::string err;
};

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string temporary_path(const char* name)
{
    const char* const directory = std::getenv("TMPDIR");
    return std::string(directory ? directory : "/tmp") + "/vessa_e2e_" + std::to_string(getpid()) + "_" + name;
}

// Points the child's descriptor `fd` at `path`, opened with `flags`.
void redirect(int fd, const char* path, int flags)
{
    const int opened = open(path, flags, 0600);
    if (opened < 0 || dup2(opened, fd) < 0)
        _exit(126);
    close(opened);
}

// With tallying, the program's tallying build runs: its destinations
// tally what they are offered and the tallies come on standard error.
run_result run_benchmark(standard_output where, bool tallying = false)
{
    const std::string out_path = temporary_path("out");
    const std::string err_path = temporary_path("err");
    int pipe_ends[2] = {-1, -1};
    if (where == standard_output::pipe_without_reader && pipe(pipe_ends) != 0)
        return {-1, "", "pipe failed"};

    const pid_t child = fork();
    if (child == 0) {
        switch (where) {
        case standard_output::file:
            redirect(STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
            break;
        case standard_output::full_device:
            redirect(STDOUT_FILENO, "/dev/full", O_WRONLY);
            break;
        case standard_output::closed:
            close(STDOUT_FILENO);
            break;
        case standard_output::pipe_without_reader:
            close(pipe_ends[0]);
            dup2(pipe_ends[1], STDOUT_FILENO);
            close(pipe_ends[1]);
            signal(SIGPIPE, SIG_IGN);
            break;
        }
        redirect(STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
        setenv("LD_PRELOAD", VESSA_FAKE_TIME_LIBRARY, 1);
        const char* const program = tallying ? VESSA_TIMED_TEST1C_TALLYING : VESSA_TIMED_TEST1C;
        execl(program, program, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (where == standard_output::pipe_without_reader) {
        close(pipe_ends[0]);
        close(pipe_ends[1]);
    }
    int status = 0;
    waitpid(child, &status, 0);
    run_result result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out_path), read_file(err_path)};
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return result;
}

TEST(end_to_end, complete_run_prints_47_lines_in_shape_and_routes_every_pass)
{
    const run_result run = run_benchmark(standard_output::file);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(shape_problems(run.out), std::vector<std::string>{}) << run.out;

    // The first figures follow from the preloaded clock by hand. Baseline:
    // start reads call 1 of second 0 (46 calls long), so the first sample
    // counts the 45 checks left in it plus the one that sees second 1; the
    // next nine count seconds 1 to 9, 46 calls each: 1000 / 46 ms. The run
    // for N = 1 starts at call 2 of second 10 (45 calls): samples of
    // 43 + 1 = 44, then nine of 45, median 45: 1000 / 45 - 1000 / 46 ms.
    const std::vector<std::string> lines = split_lines(run.out);
    ASSERT_EQ(lines.size(), 47u);
    EXPECT_EQ(lines[5], "Baseline time: 21.7391");
    EXPECT_EQ(lines[6], std::string(34, ' ') + "1" + std::string(6, ' ') + "0.4831 ms ");

    // What was routed, from the tallies: every pass over 0 ... N - 1 was
    // offered in order to each listed destination, which took nothing, and
    // to the default, which took all. By the same clock the run for N = 2^k
    // starts at call 2 of second 20k + 10, which is 45 - 2k calls long, as
    // are the nine after it: 10 (45 - 2k) - 1 passes.
    const run_result tallied = run_benchmark(standard_output::file, true);
    EXPECT_EQ(tallied.exit_status, 0);
    EXPECT_EQ(tallied.out, run.out);
    std::string passes;
    unsigned long values = 0;
    for (unsigned int k = 0; k <= 20; ++k) {
        const unsigned long count = 10 * (45 - 2 * k) - 1;
        passes += " " + std::to_string(1u << k) + "x" + std::to_string(count);
        values += count << k;
    }
    EXPECT_EQ(split_lines(tallied.err),
              (std::vector<std::string>{"listed 1:" + passes + ", took 0", "listed 2:" + passes + ", took 0",
                                        "listed 3:" + passes + ", took 0",
                                        "default:" + passes + ", took " + std::to_string(values)}));
}

// A run nobody can read must not end in success: it stops at the first
// line that fails and says why on standard error.
TEST(end_to_end, unwritable_output_fails_with_one_line_on_stderr)
{
    for (const standard_output where :
         {standard_output::full_device, standard_output::closed, standard_output::pipe_without_reader}) {
        const run_result run = run_benchmark(where);
        EXPECT_EQ(run.exit_status, 1);
        const std::vector<std::string> err_lines = split_lines(run.err);
        ASSERT_EQ(err_lines.size(), 1u) << run.err;
        EXPECT_EQ(err_lines[0].rfind("timed_test1c: cannot write to standard output", 0), 0u) << run.err;
    }
}

} // namespace

// The shape checker itself, on texts that must not pass.
TEST(output_shape, refuses_damaged_runs)
{
    EXPECT_FALSE(shape_problems("").empty());
    EXPECT_FALSE(shape_problems("Test 1c\nTesting N\n").empty());
}
