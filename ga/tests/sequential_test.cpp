// Tests of the sequential driver's schedule and of its recorder's end, against the
// stand-in legacy database server with a stored parallel experiment 94 to compare with.
#include "ga/measure.h"
#include "ga/sga.h"
#include "ga/tests/ga_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <set>

namespace {

// A problem that only records which operations the driver calls, in order.
class ScheduleProblem : public GeneralGeneticProblem
{
public:
    void InitializePopulation(int pop) override { calls.push_back("init " + std::to_string(pop)); }
    void Mutate(int percentage) override { calls.push_back("mutate " + std::to_string(percentage)); }
    void Select(int percentage) override { calls.push_back("select " + std::to_string(percentage)); }
    void Reproduce() override { calls.push_back("reproduce"); }
    void PrintSolution() override { calls.push_back("print"); }

    std::vector<std::string> calls;
};

// The calls expected for a run whose progress is printed after the given generations.
std::vector<std::string> ExpectedCalls(int generations, const std::set<int>& printedAfter)
{
    std::vector<std::string> calls = {"init 100"};
    for (int count = 0; count < generations; ++count) {
        calls.insert(calls.end(), {"select 25", "reproduce", "mutate 75"});
        if (printedAfter.count(count))
            calls.push_back("print");
    }
    calls.push_back("print");
    return calls;
}

std::set<int> Range(int from, int to, int step)
{
    std::set<int> values;
    for (int value = from; value < to; value += step)
        values.insert(value);
    return values;
}

const long long STORED_TOTALS[5] = {3000, 1000, 500, 250, 250};

class GASequential : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(db.Connected());
        db.StoreExperiment(exp_no, 2, STORED_TOTALS);
    }

    // Runs the driver on a recording problem and checks its calls.
    void ExpectSchedule(int generations, const std::set<int>& printedAfter)
    {
        ScheduleProblem problem;
        testing::internal::CaptureStdout();
        SequentialGeneticAlgorithm().FindSolution(&problem, generations, 100, 75, 25);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(problem.calls, ExpectedCalls(generations, printedAfter)) << generations << " generations";
    }

    LegacyDatabase db;
    const KeptExperiment reference{db, exp_no};
};

TEST_F(GASequential, PrintsTheBestEveryTenthOfTheRunAndAtTheEnd)
{
    ExpectSchedule(10, Range(0, 10, 1));
    ExpectSchedule(25, Range(0, 25, 2));
    ExpectSchedule(1000, {0, 100, 200, 300, 400, 500, 600, 700, 800, 900});
    // Fewer than ten generations: every generation, instead of a division by zero.
    ExpectSchedule(5, Range(0, 5, 1));
    ExpectSchedule(0, {});
}

TEST_F(GASequential, ProblemWithDefaultOperationsRunsToTheEnd)
{
    GeneralGeneticProblem problem;
    testing::internal::CaptureStdout();
    SequentialGeneticAlgorithm().FindSolution(&problem, 30, 100, 75, 25);
    const std::string output = testing::internal::GetCapturedStdout();
    // Only the recorder speaks.
    EXPECT_EQ(output.find("solution"), std::string::npos) << output;
    EXPECT_EQ(output.rfind("seq time is ", 0), 0u) << output;
}

TEST_F(GASequential, SecondDestructionOnlyComplains)
{
    alignas(measure) unsigned char storage[sizeof(measure)];
    measure* chronometer = new (storage) measure(exp_no);
    testing::internal::CaptureStdout();
    chronometer->~measure();
    const std::string first = testing::internal::GetCapturedStdout();
    db.Execute("UPDATE experiments SET speed_up=-1 WHERE Experiment_No=94");
    testing::internal::CaptureStdout();
    chronometer->~measure();
    const std::string second = testing::internal::GetCapturedStdout();

    EXPECT_NE(first.find("is updated for its sequential time"), std::string::npos) << first;
    EXPECT_EQ(second, "measure ERROR: don't call the destructor of measure twice !!\n");
    const std::vector<Row> rows = db.Rows("SELECT speed_up FROM experiments WHERE Experiment_No = 94");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(std::atof(rows[0][0].c_str()), -1);
}

TEST(LegacyReference, TestsPutBackTheExperimentTheyFound)
{
    LegacyDatabase db;
    ASSERT_TRUE(db.Connected());
    const KeptExperiment before{db, exp_no};
    const long long mine[5] = {7, 6, 5, 4, 3};
    db.StoreExperiment(exp_no, 3, mine);
    db.Execute("INSERT INTO analysis (Experiment_No, host, CPU_No) VALUES (" + std::to_string(exp_no) +
               ", 'it\\'s a\\\\b', NULL)");
    const std::string experiment = "SELECT * FROM experiments WHERE Experiment_No = " + std::to_string(exp_no);
    const std::string analysis = "SELECT * FROM analysis WHERE Experiment_No = " + std::to_string(exp_no);
    const std::vector<Row> stored = db.Rows(experiment), storedAnalysis = db.Rows(analysis);
    ASSERT_EQ(storedAnalysis.size(), 1u);
    ASSERT_EQ(storedAnalysis[0][1], "it's a\\b");
    {
        const KeptExperiment kept{db, exp_no};
        db.StoreExperiment(exp_no, 2, STORED_TOTALS);
        db.DeleteExperiment(exp_no);
    }
    EXPECT_EQ(db.Rows(experiment), stored);
    EXPECT_EQ(db.Rows(analysis), storedAnalysis);
}

} // namespace
