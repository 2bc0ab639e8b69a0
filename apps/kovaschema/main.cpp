// kovaschema: creates the measurement tables in the measurement database (at the
// address of the environment, as the probe finds it) from the records' own
// descriptions, and the measuring libraries' tables, and lets the "ID" column of
// "Experiments" generate its values on insert. Running it again changes nothing.
#include "probe/KOVAData.h"
#include "probe/databaseaddress.h"
#include "persist/dbDescribable.h"
#include <kova_site.h>
#include "analysis/records.h"
#include "persist/standarddatabase.h"

#include "measure/blockstore.h"

#include <iostream>
#include <stdexcept>
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
          NewColumn{"Messages", "bytes", "bigint"}, NewColumn{"Processes", "executable", "varchar(64)", "''"}}) {
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
    try {
        const DatabaseAddress address = MeasurementDatabaseAddress();
        StandardDatabase db("KOVAUser", "", "KOVAData", address.host, address.port, address.socket);
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
        // The tables of the measuring libraries, whose columns are not records'.
        for (const std::string& statement : recording::BlockTableStatements()) db.Query(statement);
        if (!ExperimentIDGeneratesValues(db)) {
            db.Query("ALTER TABLE Experiments MODIFY ID int NOT NULL AUTO_INCREMENT");
            std::cout << "kovaschema: Experiments.ID now generates its own values" << std::endl;
        }
    } catch (const DatabaseError& failure) {
        std::cout << failure.what() << std::endl;
        return 1;
    } catch (const std::invalid_argument& wrong) {
        std::cout << "kovaschema: " << wrong.what() << std::endl;
        return 2;
    }
    std::cout << "kovaschema: the measurement tables are ready" << std::endl;
    return 0;
}
