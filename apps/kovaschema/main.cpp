// kovaschema: creates the measurement tables in the measurement database from the
// records' own descriptions, and lets the "ID" column of "Experiments" generate its
// values on insert. Running it again changes nothing.
#include <KOVAData.h>
#include <dbDescribable.h>
#include <kova_site.h>
#include <records.h>
#include <standarddatabase.h>

#include <iostream>
#include <string>

namespace {

// Creates the table of record unless it exists (the convertor then lists it).
void CreateTableOf(StandardDatabase& db, Describable& record, const std::string& table) {
    DbConvertor convertor(&db);
    if (convertor.CreateTable(record)) std::cout << "kovaschema: created table " << table << std::endl;
}

bool HasColumn(StandardDatabase& db, const std::string& table, const std::string& column) {
    return db.QueryFirst("SELECT COUNT(*) FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() AND "
                         "TABLE_NAME = " +
                         db.QuotedValue(table) + " AND COLUMN_NAME = " + db.QuotedValue(column)) != "0";
}

// Columns that records gained after their tables were first created: a table made by
// an earlier kovaschema gets them (with their defaults for the rows it holds).
void AddNewColumns(StandardDatabase& db) {
    struct NewColumn {
        const char* table;
        const char* column;
        const char* type;
        const char* value = "0";
    };
    for (const NewColumn& added :
         {NewColumn{"ClockOffsets", "startBound", "bigint"}, NewColumn{"ClockOffsets", "endBound", "bigint"},
          NewColumn{"Messages", "askedSource", "int", "-2"}, NewColumn{"Messages", "askedTag", "int", "-2"},
          NewColumn{"Messages", "bytes", "bigint"}}) {
        if (HasColumn(db, added.table, added.column)) continue;
        db.Query(std::string("ALTER TABLE ") + added.table + " ADD COLUMN " + added.column + " " + added.type +
                 " DEFAULT " + added.value);
        std::cout << "kovaschema: added column " << added.column << " to table " << added.table << std::endl;
    }
}

// A phase may hold two wait states of different patterns (a wait at a barrier and its
// completion): a WaitStates table keyed without the pattern gets it in its key.
void KeyWaitStatesByPattern(StandardDatabase& db) {
    const std::string keyed = db.QueryFirst(
        "SELECT COUNT(*) FROM information_schema.KEY_COLUMN_USAGE WHERE TABLE_SCHEMA = DATABASE() AND "
        "TABLE_NAME = 'WaitStates' AND CONSTRAINT_NAME = 'PRIMARY' AND COLUMN_NAME = 'pattern'");
    if (keyed != "0") return;
    db.Query("ALTER TABLE WaitStates DROP PRIMARY KEY, ADD PRIMARY KEY (expID, processID, nbr, pattern)");
    std::cout << "kovaschema: WaitStates are keyed by their pattern too" << std::endl;
}

bool ExperimentIDGeneratesValues(StandardDatabase& db) {
    const std::string extra = db.QueryFirst(
        "SELECT EXTRA FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() "
        "AND TABLE_NAME = 'Experiments' AND COLUMN_NAME = 'ID'");
    return extra.find("auto_increment") != std::string::npos;
}

}  // namespace

int main(int argc, char**) {
    if (argc > 1) {
        std::cout << "usage: kovaschema\n"
                     "Creates the measurement tables in database KOVAData on "
                  << KOVA_DB_HOST << ":" << KOVA_DB_PORT << " (takes no arguments)." << std::endl;
        return 2;
    }
    StandardDatabase db("KOVAUser", "", "KOVAData", KOVA_DB_HOST, KOVA_DB_PORT);
    try {
        Application application;
        AppParameter parameter;
        ExpParValue parameterValue;
        PhaseType phaseType;
        PhaseDuration total;
        Process process;
        Phase phase;
        Experiment experiment;
        ClockOffset clockOffset;
        MessageRecord message;
        WaitStateRecord waitState;
        CreateTableOf(db, application, "Applications");
        CreateTableOf(db, parameter, "AppParameter");
        CreateTableOf(db, parameterValue, "ExpParValue");
        CreateTableOf(db, phaseType, "PhaseTypes");
        CreateTableOf(db, total, "PhaseDurations");
        CreateTableOf(db, process, "Processes");
        CreateTableOf(db, phase, "Phases");
        CreateTableOf(db, experiment, "Experiments");
        CreateTableOf(db, clockOffset, "ClockOffsets");
        CreateTableOf(db, message, "Messages");
        CreateTableOf(db, waitState, "WaitStates");
        AddNewColumns(db);
        KeyWaitStatesByPattern(db);
        if (!ExperimentIDGeneratesValues(db)) {
            db.Query("ALTER TABLE Experiments MODIFY ID int NOT NULL AUTO_INCREMENT");
            std::cout << "kovaschema: Experiments.ID now generates its own values" << std::endl;
        }
    } catch (int) {
        // The failed statement and the server's error are already printed.
        return 1;
    }
    std::cout << "kovaschema: the measurement tables are ready" << std::endl;
    return 0;
}
