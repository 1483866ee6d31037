#include <ctime>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "timer.hpp"

namespace {

// The clock the tests drive: every read returns `now`.
std::time_t now = 0;
long clock_reads = 0;

std::time_t test_clock(std::time_t* out)
{
    ++clock_reads;
    if (out)
        *out = now;
    return now;
}

class timer_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        now = 1000;
        clock_reads = 0;
    }

    // Runs the loop until check() ends it, giving the samples the counts
    // asked for: each sample's last iteration sees the next second.
    void run(std::initializer_list<long> sample_counts)
    {
        for (const long count : sample_counts) {
            for (long i = 1; i < count; ++i)
                ASSERT_TRUE(t.check());
            ++now;
            if (!t.check())
                return;
        }
        FAIL() << "the run wanted more samples";
    }

    void baseline(std::initializer_list<long> sample_counts)
    {
        t.start_baseline(static_cast<unsigned int>(sample_counts.size()));
        run(sample_counts);
        t.report(false);
    }

    void measure(unsigned long label, std::initializer_list<long> sample_counts)
    {
        t.start(static_cast<unsigned int>(sample_counts.size()), label);
        run(sample_counts);
        t.report(false);
    }

    std::string take_output()
    {
        const std::string text = out.str();
        out.str("");
        return text;
    }

    std::ostringstream out;
    timer t{out, test_clock};
};

// Right-aligns text in a column that widens for longer text.
std::string column(const std::string& text, std::size_t width)
{
    return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

std::string result_line(const std::string& label, const std::string& net, const std::string& ratio = "")
{
    return column(label, 35) + column(net, 12) + " ms " + (ratio.empty() ? "" : column(ratio, 8)) + "\n";
}

TEST_F(timer_test, reads_the_clock_once_in_start_and_once_per_check)
{
    t.start(2, 1);
    EXPECT_EQ(clock_reads, 1);
    EXPECT_TRUE(t.check());
    EXPECT_TRUE(t.check());
    EXPECT_EQ(clock_reads, 3);
}

TEST_F(timer_test, run_ends_on_the_check_that_closes_the_last_sample)
{
    t.start(3, 1);
    EXPECT_TRUE(t.check());
    ++now;
    EXPECT_TRUE(t.check()); // closes sample 1
    ++now;
    EXPECT_TRUE(t.check()); // closes sample 2
    EXPECT_TRUE(t.check());
    ++now;
    EXPECT_FALSE(t.check()); // closes sample 3
}

// A sample is one change of second however many seconds it spans, and the
// next starts from the second read, not from the mark plus one.
TEST_F(timer_test, a_jump_of_several_seconds_closes_one_sample)
{
    t.start_baseline(2);
    EXPECT_TRUE(t.check());
    now += 5;
    EXPECT_TRUE(t.check()); // one sample of 2
    EXPECT_TRUE(t.check());
    EXPECT_TRUE(t.check());
    ++now;
    EXPECT_FALSE(t.check()); // one sample of 3
    t.report(true);
    EXPECT_EQ(take_output(), "2 3 \n"
                             "Sorted counts:\n"
                             "2 3 \n"
                             "Selected count: 3\n"
                             "Baseline time: 333.333\n");
}

TEST_F(timer_test, clock_stepping_back_closes_nothing_until_it_passes_the_mark)
{
    t.start_baseline(1);
    now -= 3;
    EXPECT_TRUE(t.check());
    now += 3;
    EXPECT_TRUE(t.check());
    ++now;
    EXPECT_FALSE(t.check());
    t.report(false);
    EXPECT_EQ(take_output(), "Baseline time: 333.333\n");
}

TEST_F(timer_test, selects_the_upper_median)
{
    baseline({90, 10, 80, 20, 70, 30, 60, 40, 50, 100});
    EXPECT_EQ(take_output(), "Baseline time: 16.6667\n"); // 1000 / 60
}

TEST_F(timer_test, verbose_report_lists_counts_ten_to_a_line)
{
    t.start_baseline(10);
    run({9, 3, 7, 1, 5, 2, 8, 4, 10, 6});
    t.report(true);
    EXPECT_EQ(take_output(), "9 3 7 1 5 2 8 4 10 6 \n"
                             "\n"
                             "Sorted counts:\n"
                             "1 2 3 4 5 6 7 8 9 10 \n"
                             "\n"
                             "Selected count: 6\n"
                             "Baseline time: 166.667\n");
}

TEST_F(timer_test, result_lines_subtract_the_baseline_and_give_the_ratio_to_half_the_label)
{
    baseline({1000, 1000, 1000}); // 1 ms
    measure(1, {500, 500, 500});  // 2 ms, net 1
    measure(2, {250, 250, 250});  // 4 ms, net 3
    measure(4, {125, 125, 125});  // 8 ms, net 7
    EXPECT_EQ(take_output(), "Baseline time: 1\n" + result_line("1", "1.0000") + result_line("2", "3.0000", "3.0000")
                                 + result_line("4", "7.0000", "2.3333"));
    EXPECT_DOUBLE_EQ(t.results().at(4), 7.0);
}

TEST_F(timer_test, baseline_lines_print_fixed_after_the_first_result_line)
{
    baseline({3});
    measure(1, {2});
    baseline({3});
    EXPECT_EQ(take_output(), "Baseline time: 333.333\n" + result_line("1", "166.6667") + "Baseline time: 333.3333\n");
}

TEST_F(timer_test, numbers_wider_than_their_columns_print_in_full)
{
    baseline({1000});
    measure(4000000000ul, {999});
    measure(1, {999});
    measure(2, {1});
    EXPECT_EQ(take_output(), "Baseline time: 1\n" + result_line("4000000000", "0.0010") + result_line("1", "0.0010")
                                 + result_line("2", "999.0000", "998001.0000"));
}

TEST_F(timer_test, same_label_again_overwrites_its_entry)
{
    baseline({1000});
    measure(8, {500});
    measure(8, {250});
    EXPECT_DOUBLE_EQ(t.results().at(8), 3.0);
    EXPECT_EQ(t.results().size(), 1u);
}

TEST_F(timer_test, label_zero_is_its_own_half)
{
    baseline({1000});
    measure(0, {500});
    EXPECT_EQ(take_output(), "Baseline time: 1\n" + result_line("0", "1.0000", "1.0000"));
}

TEST_F(timer_test, unguarded_zero_and_negative_figures_print_as_the_stream_does)
{
    baseline({4});
    measure(1, {4}); // net 0
    measure(2, {2}); // ratio 250 / 0
    measure(4, {5}); // net negative
    EXPECT_EQ(take_output(), "Baseline time: 250\n" + result_line("1", "0.0000") + result_line("2", "250.0000", "inf")
                                 + result_line("4", "-50.0000", "-0.2000"));
}

TEST_F(timer_test, second_report_without_start_measures_under_label_zero)
{
    t.start_baseline(1);
    run({4});
    t.report(false);
    t.report(false);
    // Label 0 is its own half, and 0 / 0 prints as the stream prints NaN.
    EXPECT_TRUE(std::regex_match(take_output(), std::regex("Baseline time: 250\n {34}0 {6}0\\.0000 ms  +-?nan\n")));
}

TEST_F(timer_test, start_keeps_a_pending_baseline)
{
    t.start_baseline(1);
    t.start(1, 16);
    run({4});
    t.report(false);
    EXPECT_EQ(take_output(), "Baseline time: 250\n");
    EXPECT_TRUE(t.results().empty());
}

TEST_F(timer_test, report_refuses_runs_without_a_median_and_prints_nothing)
{
    t.start(0, 1);
    EXPECT_THROW(t.report(true), std::logic_error);

    t.start(10, 1);
    for (int sample = 0; sample < 5; ++sample) {
        ++now;
        t.check();
    }
    EXPECT_THROW(t.report(true), std::logic_error);
    EXPECT_EQ(take_output(), "");
    EXPECT_TRUE(t.results().empty());

    ++now;
    t.check(); // the sixth sample makes an upper median of ten
    EXPECT_NO_THROW(t.report(false));
}

// The one test that reads the real clock: one sample takes at most a second.
TEST(timer_real_clock, default_clock_is_the_c_library_time)
{
    std::ostringstream out;
    timer t(out);
    t.start_baseline(1);
    while (t.check()) {}
    t.report(false);
    EXPECT_TRUE(std::regex_match(out.str(), std::regex("Baseline time: [0-9.e+-]+\n"))) << out.str();
}

} // namespace
