// Wall-clock time stamps, time differences and their text forms
// ("YYYY/MM/DD HH:MM:SS.uuuuuu"). No allocation, no state.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <ctime>
#include <sys/time.h>

// The wall clock (CLOCK_REALTIME); the system call's result.
int getCurrentTime(timespec& now);
int getCurrentTimeTv(timeval& now);

// Nanoseconds from start to end, negative when end is earlier.
int64 timeDiff(const timespec& start, const timespec& end);

// 19 characters "YYYY/MM/DD HH:MM:SS" (withDate) or 8 "HH:MM:SS"; no NUL.
// -1 when size is too small.
int32 time2StringTm(const tm& brokenDown, char* buffer, int32 size, bool withDate);

// The local time of tv, then "." and six microsecond digits, then a NUL:
// 27 bytes with the date, 16 without. -1 when size is too small.
int32 time2StringTv(const timeval& tv, char* buffer, int32 size, bool withDate);

// time2StringTv with the nanoseconds cut to microseconds.
int32 time2String(const timespec& ts, char* buffer, int32 size, bool withDate);

// Parses "%Y/%m/%d %H:%M:%S" (withDate) or "%H:%M:%S" (taken on 1 January 1970)
// as local time. -1 on a null output or text that does not match.
int32 string2Time(const char* text, time_t* seconds, bool withDate);
