#pragma once

namespace tessaryn {

// Free cells in another client's input queue, asked of the sequencer directly (alsa-lib only
// reports a client's own pool): {free, pool size}, or {-1, 0} for a kernel client, which has no
// queue, or a client that is gone.
struct ReaderRoom {
    int free = -1;
    int pool = 0;
};
ReaderRoom readerRoom(int seqFd, int client);

}  // namespace tessaryn
