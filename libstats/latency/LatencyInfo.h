// One latency sample as the latency queues keep it in shared memory: four
// time stamps of one message on its way through the process, reduced to
// latencies, and the key of the measured item.
#pragma once

#include "libstats/pool/ArrayBackedPoolObject.h"

#include <cstdint>

// The pool header of a queued sample is copied from the caller's element and
// carries no meaning.
struct latency_info_t : Zunq::Utils::ArrayBackedPoolObject
{
    uint64_t T0;      // time t0
    uint64_t T1;      // time t1
    uint64_t T2_T1;   // latency t2 - t1
    uint64_t T3_T2;   // latency t3 - t2
    uint64_t T4_T3;   // latency t4 - t3
    uint64_t orderID; // key of the measured item
    uint64_t T0_;     // second t0 value
    uint64_t T4_;     // second t4 value
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(sizeof(latency_info_t) == 96);
static_assert(offsetof(latency_info_t, T0) == 32);
static_assert(offsetof(latency_info_t, T1) == 40);
static_assert(offsetof(latency_info_t, T2_T1) == 48);
static_assert(offsetof(latency_info_t, T3_T2) == 56);
static_assert(offsetof(latency_info_t, T4_T3) == 64);
static_assert(offsetof(latency_info_t, orderID) == 72);
static_assert(offsetof(latency_info_t, T0_) == 80);
static_assert(offsetof(latency_info_t, T4_) == 88);
#pragma GCC diagnostic pop
