// The chained hash table under UnsortedMap and UnsortedMultiMap.
//
// All entries form one sequence: bucket by bucket, each bucket's chain in
// order; the entries of one key lie together, newest first. Entries are nodes
// that never move, so a cursor is a node pointer that stays on its entry
// while others are inserted or removed. Removed nodes go to a free list and
// are reused, so steady insert/remove churn does not allocate. Not locked:
// one thread at a time, as for every framework container.
#pragma once

#include "FendralCore/foundation/CharArray.h"
#include "FendralCore/foundation/FwTypes.h"
#include "FendralCore/foundation/Int128.h"

#include <concepts>
#include <cstddef>
#include <new>
#include <type_traits>

namespace fendral::detail
{

// Hash and equality of the nine key types. Integers hash to their value
// (sign-extended); 128-bit and text keys keep their hash in the entry.
template <typename K>
struct UnsortedKeyTraits
{
    static_assert(std::is_integral_v<K>, "key types: integers, UInt128, Int128, CharArray<48>");
    static constexpr bool STORES_HASH = false;
    static uint64 hash(K key) { return static_cast<uint64>(static_cast<std::conditional_t<std::is_signed_v<K>, int64, uint64>>(key)); }
    static bool equal(K a, K b) { return a == b; }
};

template <>
struct UnsortedKeyTraits<UInt128>
{
    static constexpr bool STORES_HASH = true;
    static uint64 hash(const UInt128& key) { return key.hashValue(); }
    static bool equal(const UInt128& a, const UInt128& b) { return a == b; }
};

template <>
struct UnsortedKeyTraits<Int128>
{
    static constexpr bool STORES_HASH = true;
    static uint64 hash(const Int128& key) { return key.hashValue(); }
    static bool equal(const Int128& a, const Int128& b) { return a == b; }
};

template <>
struct UnsortedKeyTraits<CharArray<48>>
{
    static constexpr bool STORES_HASH = true;
    static uint64 hash(const CharArray<48>& key) { return key.hashValue(); }
    static bool equal(const CharArray<48>& a, const CharArray<48>& b) { return a.compare(b) == 0; }
};

template <bool STORES>
struct StoredHash
{
    uint64 hash;
};
template <>
struct StoredHash<false>
{
};

// Smallest prime not below n; one bucket for 0.
uint64 nextBucketPrime(uint64 n);

template <typename K, bool MULTI>
class UnsortedHashTable
{
public:
    using Traits = UnsortedKeyTraits<K>;

    struct Node : StoredHash<Traits::STORES_HASH>
    {
        Node* next;
        K key;
        DataValueType value;
    };

    explicit UnsortedHashTable(int32 initBuckets)
    {
        allocateBuckets(nextBucketPrime(initBuckets > 0 ? static_cast<uint64>(initBuckets) : 0));
    }

    UnsortedHashTable(const UnsortedHashTable& orig)
    {
        allocateBuckets(orig.m_bucketCount);
        // Same bucket count and hashes: append each chain in its order.
        for (uint64 b = 0; b < orig.m_bucketCount; ++b)
        {
            Node** tail = &m_buckets[b];
            for (const Node* n = orig.m_buckets[b]; n != nullptr; n = n->next)
            {
                Node* copy = newNode(n->key, n->value, hashOf(*n));
                *tail = copy;
                tail = &copy->next;
                ++m_size;
            }
        }
    }

    UnsortedHashTable& operator=(const UnsortedHashTable&) = delete;

    ~UnsortedHashTable()
    {
        clear();
        freeNodes(m_freeList);
        ::operator delete(m_buckets);
    }

    uint64 size() const { return m_size; }
    uint64 bucketCount() const { return m_bucketCount; }

    Node* find(const K& key) const { return findHashed(key, Traits::hash(key)); }

    // The entry after node in the sequence, or null.
    Node* successor(const Node* node) const
    {
        if (node->next != nullptr)
            return node->next;
        return firstFrom(bucketOf(hashOf(*node)) + 1);
    }

    Node* first() const { return firstFrom(0); }

    // Unique insert: returns the existing node (and false) or a new one.
    Node* insertUnique(const K& key, DataValueType value, bool& inserted)
    {
        const uint64 h = Traits::hash(key);
        if (Node* found = findHashed(key, h))
        {
            inserted = false;
            return found;
        }
        reserveForOneMore();
        Node* node = newNode(key, value, h);
        Node*& head = m_buckets[bucketOf(h)];
        node->next = head;
        head = node;
        ++m_size;
        inserted = true;
        return node;
    }

    // Multi insert: before the first entry of the same key, so a key's
    // entries stay together with the newest first.
    Node* insertMulti(const K& key, DataValueType value)
    {
        reserveForOneMore();
        const uint64 h = Traits::hash(key);
        Node** link = &m_buckets[bucketOf(h)];
        for (Node** p = link; *p != nullptr; p = &(*p)->next)
            if (matches(**p, key, h))
            {
                link = p;
                break;
            }
        Node* node = newNode(key, value, h);
        node->next = *link;
        *link = node;
        ++m_size;
        return node;
    }

    // Unlinks and recycles one node.
    void erase(Node* node)
    {
        Node** p = &m_buckets[bucketOf(hashOf(*node))];
        while (*p != node)
            p = &(*p)->next;
        *p = node->next;
        recycle(node);
        --m_size;
    }

    // The last node of the run of key's entries that starts at first.
    Node* lastOfRun(Node* first) const
    {
        const uint64 h = hashOf(*first);
        Node* last = first;
        while (last->next != nullptr && matches(*last->next, first->key, h))
            last = last->next;
        return last;
    }

    void clear()
    {
        for (uint64 b = 0; b < m_bucketCount; ++b)
        {
            Node* n = m_buckets[b];
            while (n != nullptr)
            {
                Node* next = n->next;
                recycle(n);
                n = next;
            }
            m_buckets[b] = nullptr;
        }
        m_size = 0;
    }

    // Makes room for at least count entries without growth.
    void reserveBuckets(uint64 wanted)
    {
        const uint64 needed = nextBucketPrime(wanted > m_size + 1 ? wanted : m_size + 1);
        if (needed > m_bucketCount)
            rehash(needed);
    }

    static bool keyEqual(const Node& node, const K& key) { return Traits::equal(node.key, key); }

private:
    Node** m_buckets = nullptr;
    uint64 m_bucketCount = 0;
    uint64 m_size = 0;
    Node* m_freeList = nullptr;

    uint64 bucketOf(uint64 h) const { return h % m_bucketCount; }

    static uint64 hashOf(const Node& node)
    {
        if constexpr (Traits::STORES_HASH)
            return node.hash;
        else
            return Traits::hash(node.key);
    }

    static bool matches(const Node& node, const K& key, uint64 h)
    {
        if constexpr (Traits::STORES_HASH)
            if (node.hash != h)
                return false;
        return Traits::equal(node.key, key);
    }

    Node* findHashed(const K& key, uint64 h) const
    {
        for (Node* n = m_buckets[bucketOf(h)]; n != nullptr; n = n->next)
            if (matches(*n, key, h))
                return n;
        return nullptr;
    }

    Node* firstFrom(uint64 bucket) const
    {
        for (; bucket < m_bucketCount; ++bucket)
            if (m_buckets[bucket] != nullptr)
                return m_buckets[bucket];
        return nullptr;
    }

    void allocateBuckets(uint64 count)
    {
        m_buckets = static_cast<Node**>(::operator new(count * sizeof(Node*)));
        for (uint64 i = 0; i < count; ++i)
            m_buckets[i] = nullptr;
        m_bucketCount = count;
    }

    // Load factor 1.0: grow before the entry count would pass the bucket count.
    void reserveForOneMore()
    {
        if (m_size + 1 > m_bucketCount)
            rehash(nextBucketPrime(m_bucketCount * 2 > m_size + 1 ? m_bucketCount * 2 : m_size + 1));
    }

    // Moves every node into a new bucket array; a run of equal keys keeps
    // its order because chains are moved run by run.
    void rehash(uint64 count)
    {
        Node** old = m_buckets;
        const uint64 oldCount = m_bucketCount;
        allocateBuckets(count); // may throw: the old table is still intact
        for (uint64 b = 0; b < oldCount; ++b)
        {
            Node* n = old[b];
            while (n != nullptr)
            {
                Node* runEnd = MULTI ? lastOfRun(n) : n;
                Node* next = runEnd->next;
                Node*& head = m_buckets[bucketOf(hashOf(*n))];
                runEnd->next = head;
                head = n;
                n = next;
            }
        }
        ::operator delete(old);
    }

    Node* newNode(const K& key, DataValueType value, [[maybe_unused]] uint64 h)
    {
        Node* node;
        if (m_freeList != nullptr)
        {
            node = m_freeList;
            m_freeList = node->next;
            node->key = key;
        }
        else
        {
            node = new Node{{}, nullptr, K(key), 0};
        }
        if constexpr (Traits::STORES_HASH)
            node->hash = h;
        node->value = value;
        node->next = nullptr;
        return node;
    }

    void recycle(Node* node)
    {
        node->next = m_freeList;
        m_freeList = node;
    }

    static void freeNodes(Node* n)
    {
        while (n != nullptr)
        {
            Node* next = n->next;
            delete n;
            n = next;
        }
    }
};

} // namespace fendral::detail
