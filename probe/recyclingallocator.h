// Allocator for node-based containers that keeps freed nodes for reuse.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

// Gives out single nodes from a per-thread free list that is refilled a block of
// nodes at a time, and takes freed nodes back onto that list instead of returning
// them to the heap. The probe's phase list uses it: the list is emptied after every
// batch write and filled again, so appending a phase costs no call into the heap
// once the list has reached its usual length. Memory of freed nodes is kept for the
// thread's lifetime. All instances are interchangeable (they compare equal).
template <class T> class RecyclingAllocator {
public:
    using value_type = T;

    RecyclingAllocator() noexcept = default;
    template <class U> RecyclingAllocator(const RecyclingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n != 1) return std::allocator<T>().allocate(n);
        if (tFreeNodes == nullptr) Refill();
        FreeNode* node = tFreeNodes;
        tFreeNodes = node->next;
        return reinterpret_cast<T*>(node);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n != 1) {
            std::allocator<T>().deallocate(p, n);
            return;
        }
        FreeNode* node = reinterpret_cast<FreeNode*>(p);
        node->next = tFreeNodes;
        tFreeNodes = node;
    }

    friend bool operator==(const RecyclingAllocator&, const RecyclingAllocator&) { return true; }
    friend bool operator!=(const RecyclingAllocator&, const RecyclingAllocator&) { return false; }

private:
    union FreeNode {
        FreeNode* next;
        alignas(T) unsigned char storage[sizeof(T)];
    };
    static constexpr std::size_t NODES_PER_BLOCK = 256;

    // Takes a new block from the heap and threads its nodes onto the free list.
    static void Refill() {
        FreeNode* block = std::allocator<FreeNode>().allocate(NODES_PER_BLOCK);
        for (std::size_t i = 0; i < NODES_PER_BLOCK; ++i) {
            block[i].next = tFreeNodes;
            tFreeNodes = &block[i];
        }
    }

    static inline thread_local FreeNode* tFreeNodes = nullptr;
};
