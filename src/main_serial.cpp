// Entry point, the two parallel computation bodies and the mode dispatch.
#include <omp.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <string>

#include "command_line.hpp"
#include "corvane.hpp"
#include "fatal.hpp"
#include "header_serial.hpp"
#include "output_files.hpp"

#ifdef CORVANE_KERNEL_FROM_ENVIRONMENT
#include <cstdlib>

#include "correlation_kernel.hpp"

// The test build's copy of the program takes its product kernel from CORVANE_TEST_KERNEL (plain, avx
// or avx512), so that the tests can run every kernel the machine has; the shipped program reads no
// such variable.
static void forceKernelFromEnvironment() {
  const char* name = std::getenv("CORVANE_TEST_KERNEL");
  if (!name) return;
  const std::string wanted(name);
  using correlation::WideKernel;
  WideKernel kernel = WideKernel::none;
  if (wanted == "avx") kernel = WideKernel::avx;
  else if (wanted == "avx512") kernel = WideKernel::avx512;
  else if (wanted != "plain") corvane::fatalError("Error: Product kernel '" + wanted + "' is not known!");
  if (!correlation::forceKernelForTesting(kernel))
    corvane::fatalError("Error: Product kernel '" + wanted + "' cannot be run on this machine!");
  std::cerr << "product kernel: " << wanted << std::endl;
}
#endif

// The run's outputs are published and kept before its last line: a stop from here on is not taken,
// so "- Done!" is the last line only of a run whose outputs are whole at their paths.
static void printDone() {
  corvane::commitRun();
  std::cout << "- Done!" << std::endl;
  std::cout << std::endl;
}

// Every thread of the team runs one body from opening the input to writing its own BCOR file.
// The barriers are the same on every thread and in the same order; a stop that every thread meets
// waits at a barrier of its own, one that a single thread meets ends the process from there.
static void computationBody(Shared_buffers& shared, bool bgen_input) {
  Corvane engine(par, shared);
  const bool thread_zero = engine.process_number == 0;
  // The sample identifiers and the set of samples cost memory per sample of the file: thread 0
  // alone builds them and selects the samples for all (selectSamples), so that a sample list of a
  // large cohort costs each thread only the samples it keeps.
  engine.bgen_parser.keep_sample_ids = engine.plink_parser.keep_sample_ids = thread_zero;
  engine.bgen_parser.include_all_samples = engine.plink_parser.include_all_samples =
      thread_zero && !flags.incl_samples;

  if (bgen_input) {
    engine.openBGEN(thread_zero);
  } else {
    engine.openPLINK(thread_zero);
  }

#pragma omp single
  engine.printStatus();
  // (the single section ends at a barrier of the whole team)

  engine.selectSamples();
  if (flags.incl_range) engine.findInclude();

  engine.checkNumberOfProcessesAndVariants();
  engine.resizeWorkload();
  engine.computeBalancedWorkload();
  engine.findStartEndBalanced();
  engine.findChunks();
#pragma omp barrier

  if (!bgen_input) engine.readBim();
  if (thread_zero) {
    engine.printRestStatus();
    engine.printChunks();
  }

  engine.doChunks();
#pragma omp barrier

  engine.writeVariantHeader();
  engine.writeVariantOffset();
  engine.writeVariantDataCorr();
  engine.writeVariantDataNumberOfSamples();
#pragma omp barrier

  if (thread_zero) engine.printFinalize();
}

static void plinkComputationBody(Shared_buffers& shared) { computationBody(shared, false); }

static void bgenComputationBody(Shared_buffers& shared) { computationBody(shared, true); }

// The message of an exception that reached the top, formatted where a std::string could not be built
// for want of memory: a handler that threw would end the process without any message.
static void exceptionMessage(char (&buffer)[512], const std::exception& e) {
  std::snprintf(buffer, sizeof buffer, "Error: %s", e.what());
}

// An exception cannot leave a parallel region: the thread that meets it ends the run itself.
static void runBody(void (*body)(Shared_buffers&), Shared_buffers& shared) {
  try {
    body(shared);
  } catch (const std::bad_alloc&) {
    corvane::fatalError("Error: Not enough memory for the computation!");
  } catch (const std::exception& e) {
    char message[512];
    exceptionMessage(message, e);
    corvane::fatalError(message);
  } catch (...) {
    corvane::fatalError("Error: Unexpected failure during the computation!");
  }
}

// One computation on a team of threads, each with its own engine and the one shared record.
static void compute(void (*body)(Shared_buffers&)) {
  if (flags.n_threads) omp_set_num_threads(par.n_threads);
  Shared_buffers shared(static_cast<unsigned int>(omp_get_max_threads()));
#pragma omp parallel
  runBody(body, shared);
  // Every file of the set is complete; they are kept together, or go together with a stop.
  printDone();
}

// The matrix and table modes: header, status blocks, offset tables and the variants asked for,
// then the extraction for the whole file or for the variant list.
static void extract(Corvane& engine, Shared_buffers& shared, void (Corvane::*whole_file)(),
                    void (Corvane::*variant_list)()) {
  engine.readVariantHeaderFromStream();
  engine.printStatus();
  engine.printRestStatus();
  engine.printFinalize();
  engine.readVariantOffset();
  if (flags.incl_variants) engine.readVariantsToInclude();
  // The status blocks showed the file's total; the extraction counts what it writes.
  shared.total_number_of_correlations = 0;
  (engine.*(flags.incl_variants ? variant_list : whole_file))();
  printDone();
}

static int run(int argc, char** argv) {
  printWelcome();

  try {
    parseOptions(argv, argc, flags, par);
    checkOptions(flags, par);
  } catch (const std::string& message) {
    corvane::fatalError(message);
  }

  if (flags.help) {
    printHelp();
    // The option table is all that a help run gives: one that standard output did not take (a full
    // disk, > /dev/full) is a failed run, whose message has nowhere to go either.
    std::cout.flush();
    if (!std::cout) corvane::fatalError("Error: The option table cannot be written!");
  }

  if (flags.bplink) compute(plinkComputationBody);
  if (flags.bgen) compute(bgenComputationBody);

  Shared_buffers serial_shared(0);
  {
    Corvane engine(par, serial_shared);

    if (flags.meta) {
      engine.readVariantHeaderFromStream();
      engine.printStatus();
      engine.printRestStatus();
      engine.printFinalize();
      engine.writeVariantHeaderToStream();
      printDone();
    }

    if (flags.merge) {
      engine.readVariantHeaderFromMaster();
      engine.printStatus();
      engine.printRestStatus();
      engine.printFinalize();
      engine.writeVariantHeader();
      engine.writeVariantOffset();
      engine.readWriteVariantDataFromMaster();
      printDone();
    }

    if (flags.matrix) {
      extract(engine, serial_shared, &Corvane::extractCorrelationsMatrix,
              &Corvane::extractCorrelationsRegionMatrix);
    }
    if (flags.table) {
      extract(engine, serial_shared, &Corvane::extractCorrelationsTable,
              &Corvane::extractCorrelationsRegionTable);
    }
  }
  return 0;
}

int main(int argc, char** argv) {
  corvane::handleStopSignals();
  try {
#ifdef CORVANE_KERNEL_FROM_ENVIRONMENT
    forceKernelFromEnvironment();
#endif
    const int status = run(argc, argv);
    corvane::commitRun();
    return status;
  } catch (const std::bad_alloc&) {
    corvane::fatalError("Error: Not enough memory for the run!");
  } catch (const std::exception& e) {
    char message[512];
    exceptionMessage(message, e);
    corvane::fatalError(message);
  } catch (...) {
    corvane::fatalError("Error: Unexpected failure!");
  }
}
