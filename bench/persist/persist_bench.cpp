// Writing 1000 phase-shaped rows: one statement per row, one batch of statements
// (QueryBatch), and one multi-row INSERT as the yardstick. Needs the measurement
// database server of this build; the table PersistBenchPhases is created and dropped.
#include "persist/dbDescribable.h"
#include "kova_site.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const std::string TABLE = "PersistBenchPhases";

// A row of the layout the probe writes for every phase.
struct PhaseRow : Describable {
    int mExpID = 1, mProcessID = 262145, mNbr = 0, mType = 3;
    long long mDuration = 1234, mStartTime = 0;
    int mNbrQuantums = 1, mNbrOperations = 0, mCommPartner = -1;
    bool mCommIsSending = false;
    int mCommDelay = 0;
    std::string mComment = "forward pass";

    void Describe(IOConvertor* ioc) override {
        ioc->DescribeClassName(TABLE, "");
        ioc->DescribeObjectID(3, "expID", "processID", "nbr");
        ioc->DescribeAttribute(mExpID, "expID");
        ioc->DescribeAttribute(mProcessID, "processID");
        ioc->DescribeAttribute(mNbr, "nbr");
        ioc->DescribeAttribute(mType, "typeID");
        ioc->DescribeAttribute(mDuration, "duration");
        ioc->DescribeAttribute(mStartTime, "startTime");
        ioc->DescribeAttribute(mNbrQuantums, "nbrQuantums");
        ioc->DescribeAttribute(mNbrOperations, "nbrOperations");
        ioc->DescribeAttribute(mCommPartner, "commPartnerTid");
        ioc->DescribeAttribute(mCommIsSending, "commIsSending");
        ioc->DescribeAttribute(mCommDelay, "commDelay");
        ioc->DescribeAttribute(mComment, "comment");
    }
};

StandardDatabase& Database() {
    static const std::unique_ptr<StandardDatabase> db = [] {
        auto created = std::make_unique<StandardDatabase>("KOVAUser", "", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
        created->Query("DROP TABLE IF EXISTS " + TABLE);
        PhaseRow prototype;
        DbConvertor(created.get()).CreateTable(prototype);
        return created;
    }();
    return *db;
}

std::vector<PhaseRow> Rows(int count) {
    std::vector<PhaseRow> rows(count);
    for (int i = 0; i < count; ++i) rows[i].mNbr = i + 1;
    return rows;
}

void EmptyTable(benchmark::State& state) {
    state.PauseTiming();
    Database().Query("DELETE FROM " + TABLE);
    state.ResumeTiming();
}

void BM_OneStatementPerRow(benchmark::State& state) {
    StandardDatabase& db = Database();
    for (auto _ : state) {
        EmptyTable(state);
        std::vector<PhaseRow> rows = Rows(state.range(0));
        DbConvertor convertor(&db);
        for (PhaseRow& row : rows) convertor.WriteObj(row);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_QueryBatch(benchmark::State& state) {
    StandardDatabase& db = Database();
    for (auto _ : state) {
        EmptyTable(state);
        std::vector<PhaseRow> rows = Rows(state.range(0));
        DbConvertor convertor(&db);
        std::vector<std::string> statements;
        for (PhaseRow& row : rows) statements.push_back(convertor.CreateWriteQuery(row));
        db.QueryBatch(statements);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_MultiRowInsert(benchmark::State& state) {
    StandardDatabase& db = Database();
    for (auto _ : state) {
        EmptyTable(state);
        std::string insert = "INSERT INTO " + TABLE + " VALUES ";
        for (int nbr = 1; nbr <= state.range(0); ++nbr) {
            if (nbr > 1) insert += ", ";
            insert += "(1, 262145, " + std::to_string(nbr) + ", 3, 1234, 0, 1, 0, -1, 0, 0, 'forward pass')";
        }
        db.Query(insert);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_OneStatementPerRow)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueryBatch)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MultiRowInsert)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    Database().Query("DROP TABLE " + TABLE);
    benchmark::Shutdown();
    return 0;
}
