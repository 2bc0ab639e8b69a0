-- Tables of the legacy recorder's database "parallel_performance" (applied by
-- scripts/msqld.sh to the SQLite file of that database). Column order is the
-- order of the recorder's positional INSERTs. Times are microseconds.

-- One row per experiment, written by the master. The seven numeric columns after
-- Comments start as 0 and are set by name when the run (or the sequential run)
-- ends; W is the application's problem size.
CREATE TABLE IF NOT EXISTS experiments (
    Experiment_No int NOT NULL,
    Number_of_CPUs int,
    user char(32),
    datum char(32),               -- asctime() text, trailing line break included
    Experiment_name char(64),
    Comments text(255),
    calculation_time int,
    partitioning_time int,
    communication_time int,
    synchronisation_time int,
    blocking_time int,
    sequential_time int,
    speed_up real,
    W int
);

-- One summary row per process of a run.
CREATE TABLE IF NOT EXISTS analysis (
    Experiment_No int NOT NULL,
    host char(64),
    CPU_No int,
    calculating int,
    partitioning int,
    communication int,
    synchronisation int,
    blocking int,
    start_seconds int,            -- run start, seconds since midnight (master's clock)
    start_useconds int,           -- and its microseconds
    tid int                       -- the process's PVM task identifier
);

-- One row per phase. A second row with the same experiment, CPU number and phase
-- counter is rejected: slaves find distinct CPU numbers through that collision.
CREATE TABLE IF NOT EXISTS time_measurements (
    phase char(8) NOT NULL,       -- "part", "comm", "comp", "sync" or "blok"
    phase_length int,
    Experiment_No int NOT NULL,
    CPU_No int NOT NULL,
    phase_counter int NOT NULL,
    value int,                    -- the value the application gave with the phase
    partner_tid int,              -- task of the communication partner, 0 for none
    sent int,                     -- 1 when the phase sent, 0 when it received
    UNIQUE (Experiment_No, CPU_No, phase_counter)
);
