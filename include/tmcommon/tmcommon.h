//===-- include/tmcommon/tmcommon.h - The whole interface of libtmcommon --===//
#pragma once

#include "tmwin32.h"
#include "tmlogging.h"
#include "tmregistry.h"
#include "tmmail.h"
#include "tmplatform.h"
