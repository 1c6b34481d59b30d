// Older include path of the library's connection layer; new code includes <hostlink/link.h>.
#pragma once
#include <hostlink/detail.h>
#include <hostlink/link.h>
