#include "account/AccountProfile.h"
