// Tri-state result of internal predicates that can fail.
#pragma once

enum {
    IS_ERROR = -1,  // a Python exception is pending
    IS_FALSE = 0,
    IS_TRUE = 1,
};
