// One row of table PhaseBlocks bound to the parameters of kInsertBlock, for the
// task's writer (which loads the client library itself) and for kova measure,
// which stores the blocks that tasks hand it.
#pragma once

#include <mysql.h>

#include <cstddef>

namespace recording {

struct BlockRow {
    BlockRow(int experiment, int taskID, int seq, bool last, const char* spawned, std::size_t spawnedBytes,
             const char* block, std::size_t blockBytes)
        : expID(experiment), task(taskID), sequence(seq), final(last ? 1 : 0), spawnedLength(spawnedBytes),
          blockLength(blockBytes) {
        bind[0].buffer_type = MYSQL_TYPE_LONG;
        bind[0].buffer = &expID;
        bind[1].buffer_type = MYSQL_TYPE_LONG;
        bind[1].buffer = &task;
        bind[2].buffer_type = MYSQL_TYPE_LONG;
        bind[2].buffer = &sequence;
        bind[3].buffer_type = MYSQL_TYPE_TINY;
        bind[3].buffer = &final;
        bind[4].buffer_type = MYSQL_TYPE_STRING;
        bind[4].buffer = const_cast<char*>(spawned);
        bind[4].buffer_length = spawnedLength;
        bind[4].length = &spawnedLength;
        bind[5].buffer_type = MYSQL_TYPE_LONG_BLOB;
        bind[5].buffer = const_cast<char*>(block);
        bind[5].buffer_length = blockLength;
        bind[5].length = &blockLength;
    }
    // The bindings point into the row.
    BlockRow(const BlockRow&) = delete;
    BlockRow& operator=(const BlockRow&) = delete;

    int expID, task, sequence;
    signed char final;
    unsigned long spawnedLength, blockLength;
    MYSQL_BIND bind[6] = {};
};

}  // namespace recording
