#pragma once

#include <functional>

namespace zorpix {

// Runs work(first, last) over the rows [0, count) in contiguous slices, one per
// worker thread, and returns when all are done. Only for passes whose result
// doesn't depend on the order rows are visited in: each slice must write only
// its own rows, and read only what no other slice writes.
void parallelRows(int count, const std::function<void(int first, int last)>& work);

// How many threads parallelRows uses: the machine's cores unless set.
int workerCount();
void setWorkerCount(int workers);

}  // namespace zorpix
