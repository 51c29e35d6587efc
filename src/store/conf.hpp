// The path preference store, as the floors above see it: a store is a value
// (store/conf_store.hpp) that its user makes and passes to every function; its
// list (store/conf_records.hpp), the preference file loaded into it and saved
// from it (store/conf_load.hpp, store/conf_save.hpp), and priority resolution
// against it (store/conf_resolve.hpp, store/conf_peek.hpp).
#pragma once

#include "store/conf_load.hpp"
#include "store/conf_peek.hpp"
#include "store/conf_records.hpp"
#include "store/conf_resolve.hpp"
#include "store/conf_save.hpp"
#include "store/run.hpp"
#include "store/conf_store.hpp"
#include "state/state_paths.hpp"
