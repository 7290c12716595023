// support: the engine's infrastructure, with no notion of tokens. Includes nothing outside
// this folder; every stage may use it.
//
// Public face (this header):
//   error.hpp                Error, Result, the internal fault, InterruptCheck, Interrupted
//   memory_budget.hpp        how much memory one piece of work may take
//   interrupt_pacer.hpp      interrupt polls paced by the work done; paced vector growth
//   worker_pool.hpp          the process-wide worker pool (run_on_workers) and Chunks
//   flat_map.hpp             FlatMap and OrderedMap, probed under a random key
//   keyed_hash.hpp           the keyed hash of those tables (KeyedHash)
//   huge_page_allocator.hpp  uninitialised big arrays on huge pages
// Detail:
//   signals_blocked.hpp      the worker threads start with every signal blocked
#pragma once

#include "tokenizer/support/error.hpp"
#include "tokenizer/support/flat_map.hpp"
#include "tokenizer/support/huge_page_allocator.hpp"
#include "tokenizer/support/interrupt_pacer.hpp"
#include "tokenizer/support/keyed_hash.hpp"
#include "tokenizer/support/memory_budget.hpp"
#include "tokenizer/support/worker_pool.hpp"
