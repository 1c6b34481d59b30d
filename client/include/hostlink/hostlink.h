// The terminal-side client library of the host agent: everything in one include.
#pragma once
#include <hostlink/auth.h>
#include <hostlink/batch.h>
#include <hostlink/calls.h>
#include <hostlink/connect.h>
#include <hostlink/ext.h>
#include <hostlink/link.h>
#include <hostlink/run.h>
#include <hostlink/status.h>
#include <hostlink/tools.h>
