/* twusbio_sim.sys: a SIMULATED USB I/O controller as a WDM kernel driver, so TarnwickTest.exe can
 * be run unchanged under Wine: it opens \\.\TWUSBIO0 and sends its 8-byte requests here, and the
 * board model shared with tarnwick-sim answers them. A second device, \\.\TarnwickSimControl,
 * lets tarnwick-simctl.exe read the state and inject faults (see twsim_control.h). No real
 * hardware is touched. */
#include <ntddk.h>

#include "../board.h"
#include "twsim_control.h"

/* Every call arrives at PASSIVE_LEVEL, possibly on several threads at once. The spin lock
 * guards the state below; the mutex serialises plug and unplug, whose symbolic-link calls
 * must run at PASSIVE_LEVEL and so cannot sit under the spin lock. */
static KSPIN_LOCK state_lock;
static KMUTEX link_mutex;

static PDEVICE_OBJECT controller_device;
static PDEVICE_OBJECT control_device;
static UNICODE_STRING controller_name;
static UNICODE_STRING controller_link;
static UNICODE_STRING control_name;
static UNICODE_STRING control_link;
static int control_linked;

/* Guarded by state_lock. */
static tw_board board;
static int plugged;
/* Bumped on every unplug: a handle opened before it stays dead, as with a real USB device. */
static ULONG_PTR generation = 1;
static uint64_t requests;
static tw_fault_queue faults;
static twsim_log_entry log_ring[TWSIM_LOG_ENTRIES];
static uint32_t log_next;
static uint32_t log_count;

/* Requests told to hang: pending until their cancel routine, their handle's cleanup, an unplug
 * or `hang 0` ends them. A deaf one has no cancel routine, as a driver that ignores cancels. */
typedef struct held_request {
  PIRP irp;
  PFILE_OBJECT file;
  int deaf;
} held_request;
static uint32_t hangs;
static int hangs_deaf;
static held_request held[TWSIM_MAX_HELD];
static uint32_t held_count;
static uint32_t cancelled;

/* Requests told to be slow: carried out and completed by the worker thread once due, whatever
 * a cancel or a close says meanwhile, as a driver busy with them on the bus. */
typedef struct slow_request {
  PIRP irp;
  ULONGLONG due; /* interrupt time, 100 ns units */
  ULONG code;
  ULONG in_length;
  ULONG capacity;
  uint8_t request[8];
} slow_request;
static slow_request slowed[TWSIM_MAX_HELD];
static uint32_t slowed_count;
static KEVENT slow_wake;
static KEVENT slow_stopped;
static volatile LONG slow_stop;
static int slow_worker_running;

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static void log_call(uint32_t code, uint32_t capacity, uint32_t in_length, const uint8_t* bytes,
                     uint32_t reply_bytes, uint32_t succeeded) {
  twsim_log_entry* entry = &log_ring[log_next];
  uint32_t i;
  RtlZeroMemory(entry, sizeof *entry);
  entry->code = code;
  entry->capacity = capacity;
  entry->in_length = in_length;
  entry->reply_bytes = reply_bytes;
  entry->succeeded = succeeded;
  for (i = 0; i < 8u && i < in_length; ++i) entry->bytes[i] = bytes[i];
  log_next = (log_next + 1u) % TWSIM_LOG_ENTRIES;
  if (log_count < TWSIM_LOG_ENTRIES) log_count++;
}

/* Removes a held request from the list; state_lock held. */
static void forget_held(PIRP irp) {
  uint32_t i;
  for (i = 0; i < held_count; ++i) {
    if (held[i].irp == irp) {
      held[i] = held[--held_count];
      return;
    }
  }
}

static void NTAPI cancel_held(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL irql;
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&state_lock, &irql);
  forget_held(irp);
  cancelled++;
  KeReleaseSpinLock(&state_lock, irql);
  complete(irp, STATUS_CANCELLED, 0);
}

/* Completes the held requests of one file object (every one for NULL) with a status. One whose
 * cancel routine has already been claimed is left to that routine. */
static void release_held(PFILE_OBJECT file, NTSTATUS status) {
  PIRP taken[TWSIM_MAX_HELD];
  uint32_t count = 0;
  uint32_t i = 0;
  KIRQL irql;
  KeAcquireSpinLock(&state_lock, &irql);
  while (i < held_count) {
    const held_request entry = held[i];
    if ((file == NULL || entry.file == file) &&
        (entry.deaf || IoSetCancelRoutine(entry.irp, NULL) != NULL)) {
      taken[count++] = entry.irp;
      held[i] = held[--held_count];
    } else {
      ++i;
    }
  }
  KeReleaseSpinLock(&state_lock, irql);
  for (i = 0; i < count; ++i) complete(taken[i], status, 0);
}

/* Holds a request told to hang; state_lock held, released here. */
static NTSTATUS hold(PIRP irp, PFILE_OBJECT file, KIRQL irql) {
  const int deaf = hangs_deaf;
  if (!deaf) {
    IoSetCancelRoutine(irp, cancel_held);
    /* Cancelled before the routine was set: nobody else will complete it. */
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
      KeReleaseSpinLock(&state_lock, irql);
      return complete(irp, STATUS_CANCELLED, 0);
    }
  }
  IoMarkIrpPending(irp);
  held[held_count].irp = irp;
  held[held_count].file = file;
  held[held_count].deaf = deaf;
  held_count++;
  KeReleaseSpinLock(&state_lock, irql);
  return STATUS_PENDING;
}

static NTSTATUS NTAPI dispatch_create(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  KIRQL irql;
  NTSTATUS status = STATUS_SUCCESS;
  if (device == controller_device) {
    /* Opened through \Device\TWUSBIO0 while unplugged: there is no device to open. */
    KeAcquireSpinLock(&state_lock, &irql);
    if (!plugged) {
      status = STATUS_NO_SUCH_DEVICE;
    } else if (stack->FileObject != NULL) {
      stack->FileObject->FsContext = (PVOID)generation;
    }
    KeReleaseSpinLock(&state_lock, irql);
  }
  return complete(irp, status, 0);
}

static NTSTATUS NTAPI dispatch_close(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return complete(irp, STATUS_SUCCESS, 0);
}

/* The last handle of a file object closes: its held requests end, deaf ones as well. */
static NTSTATUS NTAPI dispatch_cleanup(PDEVICE_OBJECT device, PIRP irp) {
  const PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (device == controller_device && file != NULL) release_held(file, STATUS_CANCELLED);
  return complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI dispatch_other(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static NTSTATUS carry_out(PIRP irp, ULONG code, ULONG in_length, ULONG capacity,
                          const uint8_t* request, tw_fault taken, KIRQL irql);

static NTSTATUS controller_control(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG capacity = stack->Parameters.DeviceIoControl.OutputBufferLength;
  uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
  uint8_t request[8] = {0};
  tw_fault taken = {0, 0, 0};
  KIRQL irql;
  ULONG i;
  const PFILE_OBJECT file = stack->FileObject;

  /* Input and output share the system buffer: the request is copied out before any reply. */
  for (i = 0; buffer != NULL && i < in_length && i < sizeof request; ++i) request[i] = buffer[i];

  KeAcquireSpinLock(&state_lock, &irql);
  if (!plugged || (file != NULL && (ULONG_PTR)file->FsContext != generation)) {
    KeReleaseSpinLock(&state_lock, irql);
    return complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  requests++;
  if (hangs > 0) {
    hangs--;
    if (held_count < TWSIM_MAX_HELD) {
      log_call(code, capacity, in_length, request, 0u, TWSIM_LOG_HELD);
      return hold(irp, file, irql);
    }
    log_call(code, capacity, in_length, request, 0u, 0u);
    KeReleaseSpinLock(&state_lock, irql);
    return complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  tw_faults_take(&faults, &taken);
  if (taken.kind == TW_FAULT_SLOW && taken.bytes != 0 && buffer != NULL) {
    if (slowed_count < TWSIM_MAX_HELD) {
      slow_request* entry = &slowed[slowed_count++];
      entry->irp = irp;
      entry->due = KeQueryInterruptTime() + (ULONGLONG)taken.bytes * 10000u;
      entry->code = code;
      entry->in_length = in_length;
      entry->capacity = capacity;
      for (i = 0; i < sizeof request; ++i) entry->request[i] = request[i];
      IoMarkIrpPending(irp);
      KeReleaseSpinLock(&state_lock, irql);
      KeSetEvent(&slow_wake, IO_NO_INCREMENT, FALSE);
      return STATUS_PENDING;
    }
    taken.kind = TW_FAULT_FAIL; /* no room to keep it: it fails at once */
  }
  return carry_out(irp, code, in_length, capacity, request, taken, irql);
}

/* Runs one request on the board and completes it; state_lock held, released here. */
static NTSTATUS carry_out(PIRP irp, ULONG code, ULONG in_length, ULONG capacity,
                          const uint8_t* request, tw_fault taken, KIRQL irql) {
  uint8_t* buffer = (uint8_t*)irp->AssociatedIrp.SystemBuffer;
  uint8_t reply[8] = {0};
  size_t written = 0;
  int loaded = 0;
  uint16_t counts = 0;
  int ok = 0;
  ULONG i;
  if (taken.kind != TW_FAULT_FAIL && buffer != NULL && in_length == 8u) {
    ok = tw_board_control(&board, code, request, in_length, reply, capacity, &written, &loaded);
    if (ok && taken.kind == TW_FAULT_SHORT && written > taken.bytes) written = taken.bytes;
    counts = board.output;
  }
  if (ok) {
    for (i = 0; i < written; ++i) buffer[i] = reply[i];
  }
  log_call(code, capacity, in_length, request, ok ? (uint32_t)written : 0u, ok ? 1u : 0u);
  KeReleaseSpinLock(&state_lock, irql);

  if (loaded) {
    DbgPrint("twusbio_sim: loaded %u counts\n", (unsigned)counts);
  }
  if (ok) return complete(irp, STATUS_SUCCESS, written);
  /* A code the controller does not know reads as such; a refused request as a device error. */
  return complete(
      irp, code == TW_CONTROL_CODE ? STATUS_IO_DEVICE_ERROR : STATUS_INVALID_DEVICE_REQUEST, 0);
}

/* Carries out the slow requests that are due, oldest first; the 100 ns units until the next
 * one is due, or 0 when none waits. An unplugged device fails them. */
static ULONGLONG serve_slow(void) {
  for (;;) {
    const ULONGLONG now = KeQueryInterruptTime();
    ULONGLONG next = 0;
    uint32_t i;
    uint32_t found = TWSIM_MAX_HELD;
    slow_request entry;
    KIRQL irql;
    const tw_fault none = {0, 0, 0};
    KeAcquireSpinLock(&state_lock, &irql);
    for (i = 0; i < slowed_count; ++i) {
      if (slowed[i].due <= now && (found == TWSIM_MAX_HELD || slowed[i].due < slowed[found].due)) {
        found = i;
      } else if (slowed[i].due > now && (next == 0 || slowed[i].due - now < next)) {
        next = slowed[i].due - now;
      }
    }
    if (found == TWSIM_MAX_HELD) {
      KeReleaseSpinLock(&state_lock, irql);
      return next;
    }
    entry = slowed[found];
    for (i = found + 1u; i < slowed_count; ++i) slowed[i - 1u] = slowed[i];
    slowed_count--;
    if (!plugged) {
      KeReleaseSpinLock(&state_lock, irql);
      complete(entry.irp, STATUS_DEVICE_NOT_CONNECTED, 0);
      continue;
    }
    carry_out(entry.irp, entry.code, entry.in_length, entry.capacity, entry.request, none, irql);
  }
}

static void NTAPI slow_worker(PVOID context) {
  (void)context;
  while (!slow_stop) {
    const ULONGLONG next = serve_slow();
    LARGE_INTEGER wait;
    /* Relative, in 100 ns units; a second at most, so a stop is never missed for long. */
    wait.QuadPart = -(LONGLONG)(next != 0 && next < 10000000u ? next : 10000000u);
    KeWaitForSingleObject(&slow_wake, Executive, KernelMode, FALSE, &wait);
  }
  KeSetEvent(&slow_stopped, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

static uint32_t plug(int32_t* link_status) {
  uint32_t outcome = TWSIM_DONE;
  KIRQL irql;
  int was_plugged;
  KeWaitForSingleObject(&link_mutex, Executive, KernelMode, FALSE, NULL);
  KeAcquireSpinLock(&state_lock, &irql);
  was_plugged = plugged;
  KeReleaseSpinLock(&state_lock, irql);
  if (was_plugged) {
    outcome = TWSIM_ALREADY;
  } else {
    const NTSTATUS status = IoCreateSymbolicLink(&controller_link, &controller_name);
    *link_status = (int32_t)status;
    if (NT_SUCCESS(status)) {
      KeAcquireSpinLock(&state_lock, &irql);
      tw_board_reset(&board, board.serial); /* powered up afresh: output 0, latch low */
      plugged = 1;
      KeReleaseSpinLock(&state_lock, irql);
      DbgPrint("twusbio_sim: plugged\n");
    } else {
      outcome = TWSIM_LINK_FAILED;
    }
  }
  KeReleaseMutex(&link_mutex, FALSE);
  return outcome;
}

static uint32_t unplug(void) {
  uint32_t outcome = TWSIM_DONE;
  KIRQL irql;
  KeWaitForSingleObject(&link_mutex, Executive, KernelMode, FALSE, NULL);
  KeAcquireSpinLock(&state_lock, &irql);
  if (!plugged) {
    outcome = TWSIM_ALREADY;
  } else {
    plugged = 0;
    generation++;
  }
  KeReleaseSpinLock(&state_lock, irql);
  if (outcome == TWSIM_DONE) {
    IoDeleteSymbolicLink(&controller_link);
    DbgPrint("twusbio_sim: unplugged\n");
  }
  KeReleaseMutex(&link_mutex, FALSE);
  if (outcome == TWSIM_DONE) release_held(NULL, STATUS_DEVICE_NOT_CONNECTED);
  return outcome;
}

static uint32_t queue_fault(uint32_t kind, uint32_t calls, uint32_t bytes) {
  int queued;
  KIRQL irql;
  if (kind == TW_FAULT_SHORT && bytes >= TW_PACKET_SIZE) return TWSIM_BAD_ARGUMENT;
  KeAcquireSpinLock(&state_lock, &irql);
  queued = tw_faults_push(&faults, kind, calls, bytes);
  KeReleaseSpinLock(&state_lock, irql);
  return queued ? TWSIM_DONE : TWSIM_QUEUE_FULL;
}

static void fill_state(twsim_state* state, uint32_t outcome, int32_t link_status) {
  KIRQL irql;
  uint32_t i;
  RtlZeroMemory(state, sizeof *state);
  state->magic = TWSIM_MAGIC;
  state->outcome = outcome;
  state->link_status = link_status;
  KeAcquireSpinLock(&state_lock, &irql);
  state->plugged = plugged ? 1u : 0u;
  state->output = board.output;
  state->loads = board.loads;
  state->serial = board.serial;
  state->pending_faults = (uint32_t)tw_faults_pending(&faults, 0);
  state->requests = requests;
  state->held = held_count;
  state->hangs = hangs;
  state->cancelled = cancelled;
  state->log_count = log_count;
  for (i = 0; i < log_count; ++i) {
    const uint32_t oldest = (log_next + TWSIM_LOG_ENTRIES - log_count) % TWSIM_LOG_ENTRIES;
    state->log[i] = log_ring[(oldest + i) % TWSIM_LOG_ENTRIES];
  }
  KeReleaseSpinLock(&state_lock, irql);
}

static NTSTATUS control_control(PIRP irp, PIO_STACK_LOCATION stack) {
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  twsim_request request;
  uint32_t outcome = TWSIM_DONE;
  int32_t link_status = 0;
  KIRQL irql;

  if (code != TWSIM_CONTROL_CODE) return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (buffer == NULL || stack->Parameters.DeviceIoControl.InputBufferLength != sizeof request ||
      stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(twsim_state)) {
    return complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  RtlCopyMemory(&request, buffer, sizeof request);
  if (request.magic != TWSIM_MAGIC) return complete(irp, STATUS_REVISION_MISMATCH, 0);

  switch (request.op) {
    case TWSIM_OP_STATUS:
      break;
    case TWSIM_OP_SERIAL:
      KeAcquireSpinLock(&state_lock, &irql);
      board.serial = request.arg1;
      KeReleaseSpinLock(&state_lock, irql);
      break;
    case TWSIM_OP_UNPLUG:
      outcome = unplug();
      break;
    case TWSIM_OP_PLUG:
      outcome = plug(&link_status);
      break;
    case TWSIM_OP_FAIL:
      outcome = queue_fault(TW_FAULT_FAIL, request.arg1, 0u);
      break;
    case TWSIM_OP_SHORT:
      outcome = queue_fault(TW_FAULT_SHORT, request.arg1, request.arg2);
      break;
    case TWSIM_OP_HANG:
      if (request.arg2 > 1u) {
        outcome = TWSIM_BAD_ARGUMENT;
        break;
      }
      KeAcquireSpinLock(&state_lock, &irql);
      hangs = request.arg1;
      hangs_deaf = request.arg2 != 0u;
      KeReleaseSpinLock(&state_lock, irql);
      if (request.arg1 == 0u) release_held(NULL, STATUS_IO_DEVICE_ERROR);
      break;
    case TWSIM_OP_SLOW:
      outcome = request.arg2 > TWSIM_MAX_SLOW_MS
                    ? TWSIM_BAD_ARGUMENT
                    : queue_fault(TW_FAULT_SLOW, request.arg1, request.arg2);
      break;
    default:
      outcome = TWSIM_BAD_ARGUMENT;
      break;
  }
  fill_state((twsim_state*)buffer, outcome, link_status);
  return complete(irp, STATUS_SUCCESS, sizeof(twsim_state));
}

static NTSTATUS NTAPI dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (device == controller_device) return controller_control(irp, stack);
  if (device == control_device) return control_control(irp, stack);
  return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

static void NTAPI driver_unload(PDRIVER_OBJECT driver) {
  (void)driver;
  if (slow_worker_running) {
    slow_stop = 1;
    KeSetEvent(&slow_wake, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&slow_stopped, Executive, KernelMode, FALSE, NULL);
    while (slowed_count > 0) complete(slowed[--slowed_count].irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  release_held(NULL, STATUS_DEVICE_NOT_CONNECTED);
  if (plugged) IoDeleteSymbolicLink(&controller_link);
  if (control_linked) IoDeleteSymbolicLink(&control_link);
  if (control_device != NULL) IoDeleteDevice(control_device);
  if (controller_device != NULL) IoDeleteDevice(controller_device);
  DbgPrint("twusbio_sim: unloaded\n");
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
  NTSTATUS status;
  ULONG i;
  (void)registry_path;

  KeInitializeSpinLock(&state_lock);
  KeInitializeMutex(&link_mutex, 0);
  KeInitializeEvent(&slow_wake, SynchronizationEvent, FALSE);
  KeInitializeEvent(&slow_stopped, NotificationEvent, FALSE);
  tw_board_reset(&board, TWSIM_SERIAL_AT_LOAD);
  RtlInitUnicodeString(&controller_name, TWSIM_CONTROLLER_DEVICE);
  RtlInitUnicodeString(&controller_link, TWSIM_CONTROLLER_LINK);
  RtlInitUnicodeString(&control_name, TWSIM_CONTROL_DEVICE);
  RtlInitUnicodeString(&control_link, TWSIM_CONTROL_LINK);

  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatch_other;
  driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
  driver->DriverUnload = driver_unload;

  status = IoCreateDevice(driver, 0, &controller_name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                          &controller_device);
  if (NT_SUCCESS(status)) {
    status =
        IoCreateDevice(driver, 0, &control_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &control_device);
  }
  if (NT_SUCCESS(status)) {
    status = IoCreateSymbolicLink(&control_link, &control_name);
    control_linked = NT_SUCCESS(status);
  }
  if (NT_SUCCESS(status)) {
    HANDLE worker = NULL;
    status = PsCreateSystemThread(&worker, THREAD_ALL_ACCESS, NULL, NULL, NULL, slow_worker, NULL);
    slow_worker_running = NT_SUCCESS(status);
    if (worker != NULL) ZwClose(worker);
  }
  if (NT_SUCCESS(status)) {
    status = IoCreateSymbolicLink(&controller_link, &controller_name);
    plugged = NT_SUCCESS(status);
  }
  if (!NT_SUCCESS(status)) {
    DbgPrint("twusbio_sim: cannot start, status %08lx\n", (unsigned long)status);
    driver_unload(driver);
    return status;
  }
  controller_device->Flags |= DO_BUFFERED_IO;
  controller_device->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
  control_device->Flags |= DO_BUFFERED_IO;
  control_device->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
  DbgPrint("twusbio_sim: SIMULATED controller (no real hardware), serial %u\n",
           (unsigned)TWSIM_SERIAL_AT_LOAD);
  return STATUS_SUCCESS;
}
