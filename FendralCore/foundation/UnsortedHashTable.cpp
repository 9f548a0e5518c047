#include "FendralCore/foundation/UnsortedHashTable.h"

namespace fendral::detail
{

uint64 nextBucketPrime(uint64 n)
{
    if (n == 0)
        return 1;
    if (n <= 2)
        return 2;
    for (uint64 candidate = n | 1;; candidate += 2)
    {
        bool prime = true;
        for (uint64 d = 3; d * d <= candidate; d += 2)
            if (candidate % d == 0)
            {
                prime = false;
                break;
            }
        if (prime)
            return candidate;
    }
}

} // namespace fendral::detail
