// Fault injection for tests of the base library: the next n thread starts fail as if the system had
// refused them.
#pragma once

namespace varnelle::base::internal {

void FailThreadStarts(int n);
// Takes one pending failure; true when this start must fail.
bool TakeThreadStartFailure();

}  // namespace varnelle::base::internal
