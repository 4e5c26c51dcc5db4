// The record a fake plug-in keeps of its last call, as received, so that a test can check
// what the host passed on (exported as FakeLastCall; last writer wins). `first` and `second`
// are the call's pointer arguments after the path, in order.
#pragma once

#include "faltrix/plugin.h"

struct FakeCall {
    const char *entry;
    const WCHAR *path;
    const void *first, *second;
    int32_t reserved1, reserved2, data;
};
