// Apart from alsa-lib's headers, whose event types clash with the kernel's.
#include "midi/alsa/reader_room.h"

#include <sound/asequencer.h>
#include <sys/ioctl.h>

namespace tessaryn {

ReaderRoom readerRoom(int seqFd, int client) {
    snd_seq_client_pool pool{};
    pool.client = client;
    if (::ioctl(seqFd, SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, &pool) < 0 || pool.input_pool <= 0)
        return {};
    return {pool.input_free, pool.input_pool};
}

}  // namespace tessaryn
