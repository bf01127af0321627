#include "host/image_memory.h"

#include "host/host_testing.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUALVEX_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUALVEX_ASAN 1
#endif
#ifdef QUALVEX_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace host {

namespace {

struct KeptBlock {
    unsigned char* Memory;
    std::size_t Bytes;
};

// Kept blocks are poisoned under the address sanitizer, so a tool that writes into an image it
// has already released is still caught.
void Poison([[maybe_unused]] unsigned char* memory, [[maybe_unused]] std::size_t bytes)
{
#ifdef QUALVEX_ASAN
    ASAN_POISON_MEMORY_REGION(memory, bytes);
#endif
}

void Unpoison([[maybe_unused]] unsigned char* memory, [[maybe_unused]] std::size_t bytes)
{
#ifdef QUALVEX_ASAN
    ASAN_UNPOISON_MEMORY_REGION(memory, bytes);
#endif
}

void GiveBack(const KeptBlock& block)
{
    Unpoison(block.Memory, block.Bytes);
    delete[] block.Memory;
}

class KeptMemory {
public:
    unsigned char* Take(std::size_t bytes)
    {
        const std::lock_guard lock(m_Mutex);
        // The newest block of the size: its pages are the likeliest still in cache.
        for (auto it = m_Blocks.rbegin(); it != m_Blocks.rend(); ++it) {
            if (it->Bytes != bytes)
                continue;
            unsigned char* memory = it->Memory;
            m_Blocks.erase(std::next(it).base());
            Unpoison(memory, bytes);
            return memory;
        }
        return nullptr;
    }

    void Keep(unsigned char* memory, std::size_t bytes)
    {
        if (bytes > kKeptImageBytes) {
            delete[] memory;
            return;
        }
        std::deque<KeptBlock> released;
        {
            const std::lock_guard lock(m_Mutex);
            while (!m_Blocks.empty() &&
                   (Total() + bytes > kKeptImageBytes || m_Blocks.size() + 1 > kKeptImageBlocks)) {
                released.push_back(m_Blocks.front());
                m_Blocks.pop_front();
            }
            Poison(memory, bytes);
            m_Blocks.push_back({memory, bytes});
        }
        // Given back outside the lock: unmapping a large block takes a while.
        for (const KeptBlock& block : released)
            GiveBack(block);
    }

    std::size_t KeptBytes()
    {
        const std::lock_guard lock(m_Mutex);
        return Total();
    }

    void Release()
    {
        std::deque<KeptBlock> released;
        {
            const std::lock_guard lock(m_Mutex);
            released.swap(m_Blocks);
        }
        for (const KeptBlock& block : released)
            GiveBack(block);
    }

private:
    // With the lock held. A handful of blocks: summing them is cheaper than keeping a count right.
    std::size_t Total() const
    {
        std::size_t total = 0;
        for (const KeptBlock& block : m_Blocks)
            total += block.Bytes;
        return total;
    }

    std::mutex m_Mutex;
    std::deque<KeptBlock> m_Blocks;  // oldest first
};

KeptMemory& Kept()
{
    // Never destroyed: images released while the program exits (statics, threads) still find it.
    static auto* kept = new KeptMemory;
    return *kept;
}

}  // namespace

void ReturnImageMemory::operator()(unsigned char* memory) const
{
    if (memory != nullptr)
        Kept().Keep(memory, Bytes);
}

ImageMemory TakeImageMemory(std::size_t bytes, bool cleared)
{
    if (bytes == 0)
        return ImageMemory(nullptr, ReturnImageMemory{0});
    if (unsigned char* memory = Kept().Take(bytes)) {
        if (cleared)
            std::memset(memory, 0, bytes);
        return ImageMemory(memory, ReturnImageMemory{bytes});
    }
    // Fresh memory asked to be cleared is value-initialised. Memory the caller overwrites is left
    // untouched, so that the pages of a large image are only taken as its rows are written (a file
    // that claims more rows than it holds fails before it has cost their memory).
    if (!cleared)
        return ImageMemory(new unsigned char[bytes], ReturnImageMemory{bytes});
    return ImageMemory(new unsigned char[bytes](), ReturnImageMemory{bytes});
}

}  // namespace host

std::size_t host::testing::KeptImageBytes() { return host::Kept().KeptBytes(); }

void host::testing::ReleaseKeptImageMemory() { host::Kept().Release(); }
