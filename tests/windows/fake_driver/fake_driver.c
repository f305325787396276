/* A kernel-mode stand-in for the module's vendor USB driver, for testing the Windows program end
 * to end under Wine. A root-enumerated bus device reports up to three child devices with
 * USB-like identities; each child registers the module's device interface and answers the
 * driver's device-control requests: versions, speed, alternate setting, information requests,
 * descriptor reads, pipe aborts, and bulk transfers, which are held and completed by a worker
 * thread that plays the module's command protocol with the simulated module's data stream.
 * A control device lets a test attach modules and plant faults while the program runs.
 *
 * Two things Wine does unlike Windows are absorbed here: it sends no cleanup request, so a
 * handle's held transfers are ended when the handle closes; and transfer buffers given with
 * METHOD_NEITHER live in this process until completion, so they are written without mapping.
 */
#include <ntddk.h>

#include "fake_control.h"

/* {AE18AA60-7F6A-11D4-97DD-00010229B959}: the interface class the program enumerates. */
static const GUID kModuleInterface = {
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

enum {
  kRequestDriverVersion = 0x220000,
  kRequestInfoWord = 0x220004,
  kRequestAltSetting = 0x220008,
  kRequestInfoByte = 0x220010,
  kRequestControl = 0x220020,
  kRequestBuffered = 0x220024,
  kRequestInfoBlock1 = 0x22003C,
  kRequestInfoBlock2 = 0x220040,
  kRequestAbortPipe = 0x220044,
  kRequestDirect = 0x22004B,
  kRequestBusSpeed = 0x22004C,
};

enum { kHeader = 38, kFrame = 16, kEndpointIn = 0x86, kEndpointOut = 0x02 };
/* Answer bytes a module can hold: far more than one block's command asks for. */
#define ANSWER_ROOM (256 * 1024)

typedef enum { KIND_CONTROL = 1, KIND_BUS, KIND_MODULE } DeviceKind;

typedef struct {
  /* configuration, as the control device last set it */
  UCHAR plugged, high_speed, status_nibble, end_nibble, silent, abort_ineffective;
  ULONG driver_version, short_answer, short_send, unplug_after;
  ULONGLONG seed;
  /* the module's own state */
  UCHAR* answer; /* ANSWER_ROOM bytes; [head, tail) waiting to be read */
  ULONG head, tail;
  ULONGLONG stream_offset;
  USHORT counter;
  ULONG answered; /* commands answered */
  ULONG aborts;   /* pipe aborts asked for */
  ULONG open_handles;
  BOOLEAN started, removed, interface_registered;
  UNICODE_STRING interface_name;
  LIST_ENTRY held; /* transfers waiting for the worker */
} Module;

typedef struct {
  DeviceKind kind;
  int slot;             /* modules: 0 .. FAKE_SLOTS - 1 */
  PDEVICE_OBJECT lower; /* bus: the device below */
  PDEVICE_OBJECT self;
} Extension;

static PDEVICE_OBJECT g_control;
static PDEVICE_OBJECT g_children[FAKE_SLOTS];
static Module g_modules[FAKE_SLOTS];
static KSPIN_LOCK g_lock;
static KEVENT g_work;
static volatile LONG g_stop;
static HANDLE g_worker;

static const USHORT kProducts[FAKE_SLOTS] = {0x0001, 0x0001, 0x0002};
static const char* const kSerials[FAKE_SLOTS] = {"FAKE0001", "FAKE0002", "FAKE0003"};

NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout);

static ULONG Get32(const UCHAR* p) {
  return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}
static void Put32(UCHAR* p, ULONG v) {
  p[0] = (UCHAR)v;
  p[1] = (UCHAR)(v >> 8);
  p[2] = (UCHAR)(v >> 16);
  p[3] = (UCHAR)(v >> 24);
}
static void Put64(UCHAR* p, ULONGLONG v) {
  Put32(p, (ULONG)v);
  Put32(p + 4, (ULONG)(v >> 32));
}
static ULONGLONG Get64(const UCHAR* p) {
  return (ULONGLONG)Get32(p) | (ULONGLONG)Get32(p + 4) << 32;
}

/* ---- the module's data stream: bytes 16j..16j+15 come from one multiply, as in the simulation */

static void StreamPiece(ULONGLONG seed, ULONGLONG piece, UCHAR out[16]) {
  const ULONGLONG a = seed + (piece + 1) * 0xA0761D6478BD642Full;
  const ULONGLONG b = a ^ 0xE7037ED1A0B428DBull;
  __extension__ typedef unsigned __int128 Wide;
  const Wide product = (Wide)a * b;
  const ULONGLONG high = (ULONGLONG)(product >> 64), low = (ULONGLONG)product;
  Put64(out, high ^ low);
  Put64(out + 8, high + (low << 32 | low >> 32));
}

/* ---- the module's command protocol */

static UCHAR* Room(Module* m, ULONG n) {
  if (m->head == m->tail) m->head = m->tail = 0;
  if (ANSWER_ROOM - m->tail < n) return NULL;
  UCHAR* at = m->answer + m->tail;
  m->tail += n;
  return at;
}

static BOOLEAN IsFrame(const UCHAR* f, UCHAR b2, UCHAR b3) {
  return f[0] == 0x13 && f[1] == 0x37 && f[2] == b2 && f[3] == b3;
}

/* One answer frame per command frame; a count frame's data frames follow its answer. */
static void Feed(Module* m, const UCHAR* command, ULONG size) {
  const ULONG start = m->tail;
  for (ULONG at = 0; at + kFrame <= size; at += kFrame) {
    const UCHAR* f = command + at;
    UCHAR* a = Room(m, kFrame);
    if (a == NULL) break;
    RtlZeroMemory(a, kFrame);
    if (IsFrame(f, 0xC0, 0xDE) && f[8] == 0x04) {
      const UCHAR mode = m->status_nibble != 0xFF ? m->status_nibble : f[15];
      a[15] = (UCHAR)(0xA0 | (mode & 0x0F));
    } else if (IsFrame(f, 0xC0, 0xDE) && f[8] == 0x10) {
      a[15] = (UCHAR)(0x20 | ((m->end_nibble != 0xFF ? m->end_nibble : 0x0D) & 0x0F));
    } else if (IsFrame(f, 0xDA, 0x7A)) {
      const ULONG frames = (ULONG)f[14] << 8 | f[15];
      ++m->counter;
      a[12] = (UCHAR)(m->counter >> 8);
      a[13] = (UCHAR)m->counter;
      a[14] = f[14];
      a[15] = f[15];
      for (ULONG i = 0; i < frames; ++i) {
        UCHAR* d = Room(m, kFrame);
        if (d == NULL) break;
        StreamPiece(m->seed, m->stream_offset / kFrame, d);
        m->stream_offset += kFrame;
      }
    }
  }
  const ULONG made = m->tail - start;
  m->tail -= m->short_answer < made ? m->short_answer : made;
  ++m->answered;
}

/* ---- held transfers */

typedef struct {
  UCHAR* data; /* where the transfer's bytes are */
  ULONG size;
  ULONG extra; /* header bytes the count includes (buffered form) */
  UCHAR endpoint;
} Transfer;

static Transfer* TransferOf(PIRP irp) {
  return (Transfer*)&irp->Tail.Overlay.DriverContext[0];
}

static void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* Takes a held transfer off its list under the lock; false when its cancel routine owns it. */
static BOOLEAN Unhold(PIRP irp) {
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  InitializeListHead(&irp->Tail.Overlay.ListEntry);
  return IoSetCancelRoutine(irp, NULL) != NULL;
}

static void NTAPI CancelHeld(PDEVICE_OBJECT device, PIRP irp) {
  KIRQL irql;
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&g_lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  InitializeListHead(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&g_lock, irql);
  Complete(irp, STATUS_CANCELLED, 0);
}

/* Ends the held transfers of `m` that `which` selects, with `status`. */
typedef BOOLEAN (*Selector)(PIRP irp, const void* context);

static void EndHeld(Module* m, Selector which, const void* context, NTSTATUS status) {
  LIST_ENTRY ended;
  KIRQL irql;
  InitializeListHead(&ended);
  KeAcquireSpinLock(&g_lock, &irql);
  for (PLIST_ENTRY e = m->held.Flink; e != &m->held;) {
    PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    e = e->Flink;
    if ((which == NULL || which(irp, context)) && Unhold(irp))
      InsertTailList(&ended, &irp->Tail.Overlay.ListEntry);
  }
  KeReleaseSpinLock(&g_lock, irql);
  while (!IsListEmpty(&ended)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&ended), IRP, Tail.Overlay.ListEntry);
    Complete(irp, status, 0);
  }
}

static BOOLEAN OnEndpoint(PIRP irp, const void* endpoint) {
  return TransferOf(irp)->endpoint == *(const UCHAR*)endpoint;
}
static BOOLEAN OfFile(PIRP irp, const void* file) {
  return IoGetCurrentIrpStackLocation(irp)->FileObject == file;
}

static void SetInterface(Module* m, BOOLEAN on) {
  if (m->interface_registered) IoSetDeviceInterfaceState(&m->interface_name, on);
}

/* The module is pulled: its interface goes, and everything it held fails as for a removed device. */
static void Unplug(Module* m) {
  m->removed = TRUE;
  SetInterface(m, FALSE);
  EndHeld(m, NULL, NULL, STATUS_DEVICE_NOT_CONNECTED);
}

/* One pass of the module: commands are read (unless it is silent), answers handed to the
 * oldest waiting IN transfers. Completions happen outside the lock. */
static void Serve(Module* m) {
  LIST_ENTRY done;
  KIRQL irql;
  BOOLEAN pull = FALSE;
  InitializeListHead(&done);
  KeAcquireSpinLock(&g_lock, &irql);
  for (PLIST_ENTRY e = m->held.Flink; e != &m->held && !m->removed;) {
    PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
    Transfer* t = TransferOf(irp);
    e = e->Flink;
    if (m->silent) break;
    if (t->endpoint == kEndpointOut) {
      if (m->unplug_after != 0 && m->answered >= m->unplug_after) {
        pull = TRUE;
        break;
      }
      Feed(m, t->data, t->size);
      const ULONG taken = t->size - (m->short_send < t->size ? m->short_send : t->size);
      if (Unhold(irp)) {
        irp->IoStatus.Information = t->extra + taken;
        InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
      }
      e = m->held.Flink; /* its answer may be for an IN held before it */
    } else if (m->tail > m->head) {
      const ULONG waiting = m->tail - m->head, n = t->size < waiting ? t->size : waiting;
      RtlCopyMemory(t->data, m->answer + m->head, n);
      m->head += n;
      if (Unhold(irp)) {
        irp->IoStatus.Information = t->extra + n;
        InsertTailList(&done, &irp->Tail.Overlay.ListEntry);
      }
      e = m->held.Flink; /* answers go to the oldest IN first */
    }
  }
  KeReleaseSpinLock(&g_lock, irql);
  while (!IsListEmpty(&done)) {
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(&done), IRP, Tail.Overlay.ListEntry);
    Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
  }
  if (pull) Unplug(m);
}

static void NTAPI Worker(PVOID context) {
  (void)context;
  while (!g_stop) {
    KeWaitForSingleObject(&g_work, Executive, KernelMode, FALSE, NULL);
    for (int i = 0; i < FAKE_SLOTS; ++i) Serve(&g_modules[i]);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

/* ---- descriptors */

static ULONG DeviceDescriptor(const Extension* x, UCHAR* d) {
  const UCHAR bytes[18] = {18,
                           1,
                           0x00,
                           0x02,
                           0,
                           0,
                           0,
                           64,
                           0x09,
                           0x12,
                           (UCHAR)kProducts[x->slot],
                           (UCHAR)(kProducts[x->slot] >> 8),
                           0x00,
                           0x01,
                           1,
                           2,
                           3,
                           1};
  RtlCopyMemory(d, bytes, sizeof bytes);
  return sizeof bytes;
}

static ULONG ConfigDescriptor(const Module* m, UCHAR* d) {
  const UCHAR packet_high = m->high_speed ? 0x02 : 0x00, packet_low = m->high_speed ? 0x00 : 0x40;
  const UCHAR bytes[32] = {9, 2,          32,
                           0, 1,          1,
                           0, 0x80,       50, /* configuration */
                           9, 4,          0,
                           0, 2,          0xFF,
                           0, 0,          0, /* vendor interface */
                           7, 5,          kEndpointIn,
                           2, packet_low, packet_high,
                           0, /* bulk IN */
                           7, 5,          kEndpointOut,
                           2, packet_low, packet_high,
                           0};
  RtlCopyMemory(d, bytes, sizeof bytes);
  return sizeof bytes;
}

static ULONG StringDescriptor(const char* text, UCHAR* d) {
  ULONG n = 0;
  while (text[n] != '\0') {
    d[2 + 2 * n] = (UCHAR)text[n];
    d[3 + 2 * n] = 0;
    ++n;
  }
  d[0] = (UCHAR)(2 + 2 * n);
  d[1] = 3;
  return 2 + 2 * n;
}

/* The descriptor of `type` and `index`, or 0 when the device has none. `d` holds 256 bytes. */
static ULONG Descriptor(const Extension* x, UCHAR type, UCHAR index, UCHAR* d) {
  const Module* m = &g_modules[x->slot];
  if (type == 1 && index == 0) return DeviceDescriptor(x, d);
  if (type == 2 && index == 0) return ConfigDescriptor(m, d);
  if (type != 3) return 0;
  switch (index) {
    case 0:
      d[0] = 4, d[1] = 3, d[2] = 0x09, d[3] = 0x04;
      return 4;
    case 1:
      return StringDescriptor("rngacq project", d);
    case 2:
      return StringDescriptor("Fake random-number module", d);
    case 3:
      return StringDescriptor(kSerials[x->slot], d);
    default:
      return 0;
  }
}

/* Whether a request header holds what the layer sends and nothing else: status words 0, the
 * reserved byte 0, no packet table (the bulk pipes are not isochronous), the data where the form
 * says. `setup` tells a control transfer (setup packet, no endpoint) from a data transfer (an
 * endpoint, no setup packet); `data_offset` and `data_length` are what the form requires. */
static BOOLEAN HeaderAsSent(const UCHAR* h, BOOLEAN setup, ULONG data_offset, ULONG data_length) {
  const BOOLEAN no_setup = Get32(h) == 0 && Get32(h + 4) == 0 && Get32(h + 8) == 0;
  return h[12] == 0 && Get32(h + 14) == 0 && Get32(h + 18) == 0 && Get32(h + 22) == 0 && Get32(h + 26) == 0 &&
         Get32(h + 30) == data_offset && Get32(h + 34) == data_length &&
         (setup ? h[13] == 0 && !no_setup : no_setup && (h[13] == kEndpointIn || h[13] == kEndpointOut));
}

/* A control transfer on the default pipe: only GET_DESCRIPTOR is answered. The header's status
 * words say how it went, as the driver writes them. */
static NTSTATUS ControlTransfer(const Extension* x, UCHAR* buffer, ULONG in_size, ULONG out_size,
                                ULONG_PTR* information) {
  UCHAR descriptor[256];
  if (in_size < kHeader || out_size != in_size) return STATUS_INVALID_PARAMETER;
  const ULONG length = (ULONG)buffer[6] | (ULONG)buffer[7] << 8;
  if (kHeader + length != in_size || !HeaderAsSent(buffer, TRUE, kHeader, length))
    return STATUS_INVALID_PARAMETER;
  const ULONG size =
      buffer[0] == 0x80 && buffer[1] == 6 ? Descriptor(x, buffer[3], buffer[2], descriptor) : 0;
  if (size == 0) {
    Put32(buffer + 14, (ULONG)STATUS_UNSUCCESSFUL);
    Put32(buffer + 18, 0xC0000004u); /* the device stalled the request */
    *information = kHeader;
    return STATUS_UNSUCCESSFUL;
  }
  const ULONG n = size < length ? size : length;
  RtlCopyMemory(buffer + kHeader, descriptor, n);
  Put32(buffer + 14, 0);
  Put32(buffer + 18, 0);
  *information = kHeader + n;
  return STATUS_SUCCESS;
}

/* ---- requests on a module */

static NTSTATUS Answer(PIRP irp, ULONG out_size, ULONG size, ULONG value) {
  UCHAR* out = irp->AssociatedIrp.SystemBuffer;
  if (out_size < size || out == NULL) {
    Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlZeroMemory(out, size);
  for (ULONG i = 0; i < size && i < 4; ++i) out[i] = (UCHAR)(value >> (8 * i));
  Complete(irp, STATUS_SUCCESS, size);
  return STATUS_SUCCESS;
}

static NTSTATUS HoldTransfer(Module* m, PIRP irp, UCHAR endpoint, UCHAR* data, ULONG size, ULONG extra) {
  KIRQL irql;
  if (size > 0 && data == NULL) {
    Complete(irp, STATUS_INVALID_PARAMETER, 0);
    return STATUS_INVALID_PARAMETER;
  }
  Transfer* t = TransferOf(irp);
  t->data = data;
  t->size = size;
  t->extra = extra;
  t->endpoint = endpoint;
  KeAcquireSpinLock(&g_lock, &irql);
  IoSetCancelRoutine(irp, CancelHeld);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    KeReleaseSpinLock(&g_lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  InsertTailList(&m->held, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&g_lock, irql);
  KeSetEvent(&g_work, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

static NTSTATUS ModuleControl(Extension* x, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Module* m = &g_modules[x->slot];
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* system = irp->AssociatedIrp.SystemBuffer;
  if (m->removed) {
    Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  switch (code) {
    case kRequestDriverVersion:
      return Answer(irp, out_size, 4, m->driver_version);
    case kRequestInfoWord:
      return Answer(irp, out_size, 4, 0);
    case kRequestAltSetting:
    case kRequestInfoByte:
      return Answer(irp, out_size, 1, 0);
    case kRequestInfoBlock1:
    case kRequestInfoBlock2:
      return Answer(irp, out_size, 256, 0);
    case kRequestBusSpeed:
      return Answer(irp, out_size, 4, m->high_speed ? 2 : 1);
    case kRequestControl: {
      ULONG_PTR information = 0;
      const NTSTATUS status = system == NULL ? STATUS_INVALID_PARAMETER
                                             : ControlTransfer(x, system, in_size, out_size, &information);
      Complete(irp, status, information);
      return status;
    }
    case kRequestAbortPipe: {
      if (in_size < 1 || system == NULL) {
        Complete(irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
      }
      const UCHAR endpoint = system[0];
      InterlockedIncrement((volatile LONG*)&m->aborts);
      if (!m->abort_ineffective) EndHeld(m, OnEndpoint, &endpoint, STATUS_CANCELLED);
      Complete(irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    }
    case kRequestDirect: {
      /* The header alone is the input; the data move straight to or from the caller's buffer. */
      const UCHAR* header = stack->Parameters.DeviceIoControl.Type3InputBuffer;
      if (header == NULL || in_size != kHeader || !HeaderAsSent(header, FALSE, 0, 0)) break;
      return HoldTransfer(m, irp, header[13], irp->UserBuffer, out_size, 0);
    }
    case kRequestBuffered:
      /* Header and data travel in one buffer; the count reported includes the header. */
      if (system == NULL || in_size < kHeader || in_size != out_size ||
          !HeaderAsSent(system, FALSE, kHeader, in_size - kHeader))
        break;
      return HoldTransfer(m, irp, system[13], system + kHeader, in_size - kHeader, kHeader);
    default:
      Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      return STATUS_INVALID_DEVICE_REQUEST;
  }
  /* A transfer whose header the layer would never send. */
  Complete(irp, STATUS_INVALID_PARAMETER, 0);
  return STATUS_INVALID_PARAMETER;
}

/* ---- the control device */

static void ResetModule(Module* m, const UCHAR* r) {
  m->plugged = r[FAKE_SLOT_PLUGGED] != 0;
  m->high_speed = r[FAKE_SLOT_HIGH_SPEED] != 0;
  m->status_nibble = r[FAKE_SLOT_STATUS_NIBBLE];
  m->end_nibble = r[FAKE_SLOT_END_NIBBLE];
  m->driver_version = Get32(r + FAKE_SLOT_DRIVER_VERSION);
  m->short_answer = Get32(r + FAKE_SLOT_SHORT_ANSWER);
  m->short_send = Get32(r + FAKE_SLOT_SHORT_SEND);
  m->unplug_after = Get32(r + FAKE_SLOT_UNPLUG_AFTER);
  m->silent = r[FAKE_SLOT_SILENT] != 0;
  m->abort_ineffective = r[FAKE_SLOT_ABORT_INEFFECTIVE] != 0;
  m->seed = Get64(r + FAKE_SLOT_SEED);
  m->head = m->tail = 0;
  m->stream_offset = 0;
  m->counter = 0;
  m->answered = 0;
  m->aborts = 0;
  m->removed = FALSE;
}

static NTSTATUS Configure(const UCHAR* record, ULONG size) {
  if (record == NULL || size != FAKE_CONFIG_SIZE || Get32(record) != FAKE_MAGIC)
    return STATUS_INVALID_PARAMETER;
  for (int i = 0; i < FAKE_SLOTS; ++i) {
    Module* m = &g_modules[i];
    EndHeld(m, NULL, NULL, STATUS_CANCELLED);
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    ResetModule(m, record + 8 + i * FAKE_SLOT_SIZE);
    KeReleaseSpinLock(&g_lock, irql);
    SetInterface(m, m->plugged);
  }
  return STATUS_SUCCESS;
}

static NTSTATUS ControlRequest(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
  const ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  ULONG_PTR information = 0;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case FAKE_IOCTL_CONFIGURE:
      status = Configure(buffer, in_size);
      break;
    case FAKE_IOCTL_QUERY:
      if (buffer == NULL || out_size < FAKE_STATE_RECORD_SIZE) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      RtlZeroMemory(buffer, FAKE_STATE_RECORD_SIZE);
      Put32(buffer, FAKE_MAGIC);
      for (int i = 0; i < FAKE_SLOTS; ++i) {
        const Module* m = &g_modules[i];
        UCHAR* s = buffer + 8 + i * FAKE_STATE_SIZE;
        KIRQL irql;
        ULONG held = 0;
        KeAcquireSpinLock(&g_lock, &irql);
        for (PLIST_ENTRY e = m->held.Flink; e != &m->held; e = e->Flink) ++held;
        s[FAKE_STATE_STARTED] = m->started && m->interface_registered;
        s[FAKE_STATE_REMOVED] = m->removed;
        Put32(s + FAKE_STATE_ANSWERED, m->answered);
        Put32(s + FAKE_STATE_OPEN, m->open_handles);
        Put32(s + FAKE_STATE_QUEUED, held);
        Put32(s + FAKE_STATE_ABORTS, m->aborts);
        KeReleaseSpinLock(&g_lock, irql);
      }
      status = STATUS_SUCCESS;
      information = FAKE_STATE_RECORD_SIZE;
      break;
    default:
      break;
  }
  Complete(irp, status, information);
  return status;
}

/* ---- plug and play */

static NTSTATUS NTAPI Signal(PDEVICE_OBJECT device, PIRP irp, PVOID event) {
  (void)device;
  (void)irp;
  KeSetEvent((PKEVENT)event, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS ForwardAndWait(Extension* x, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(x->lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  return irp->IoStatus.Status;
}

static NTSTATUS CreateChildren(PDRIVER_OBJECT driver) {
  for (int i = 0; i < FAKE_SLOTS; ++i) {
    if (g_children[i] != NULL) continue;
    PDEVICE_OBJECT pdo;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_UNKNOWN,
                                           FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status)) return status;
    Extension* x = pdo->DeviceExtension;
    RtlZeroMemory(x, sizeof *x);
    x->kind = KIND_MODULE;
    x->slot = i;
    x->self = pdo;
    pdo->Flags |= DO_DIRECT_IO;
    pdo->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    g_children[i] = pdo;
  }
  return STATUS_SUCCESS;
}

static NTSTATUS BusPnp(Extension* x, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(x, irp);
      if (NT_SUCCESS(status)) status = CreateChildren(x->self->DriverObject);
      Complete(irp, status, 0);
      if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(x->lower, BusRelations);
      return status;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        PDEVICE_RELATIONS relations =
            ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS) + FAKE_SLOTS * sizeof(PDEVICE_OBJECT));
        if (relations == NULL) {
          Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
          return STATUS_INSUFFICIENT_RESOURCES;
        }
        relations->Count = 0;
        for (int i = 0; i < FAKE_SLOTS; ++i) {
          if (g_children[i] == NULL) continue;
          ObReferenceObject(g_children[i]);
          relations->Objects[relations->Count++] = g_children[i];
        }
        Complete(irp, STATUS_SUCCESS, (ULONG_PTR)relations);
        return STATUS_SUCCESS;
      }
      break;
    case IRP_MN_REMOVE_DEVICE: {
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(x->lower, irp);
      IoDetachDevice(x->lower);
      IoDeleteDevice(x->self);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(x->lower, irp);
}

/* "USB\VID_1209&PID_pppp", the form a USB hub gives its children. */
static void DeviceId(USHORT product, char out[24]) {
  static const char kTemplate[] = "USB\\VID_1209&PID_", kHex[] = "0123456789ABCDEF";
  RtlCopyMemory(out, kTemplate, sizeof kTemplate - 1);
  for (int i = 0; i < 4; ++i) out[sizeof kTemplate - 1 + (unsigned)i] = kHex[(product >> (12 - 4 * i)) & 0xF];
  out[sizeof kTemplate + 3] = '\0';
}

/* A multi-string in paged pool, as the system frees it. */
static WCHAR* Ids(const char* first, const char* second) {
  WCHAR* out = ExAllocatePool(PagedPool, 128 * sizeof(WCHAR));
  ULONG n = 0;
  if (out == NULL) return NULL;
  for (const char* s = first; *s != '\0' && n < 60; ++s) out[n++] = (WCHAR)*s;
  out[n++] = 0;
  for (const char* s = second; s != NULL && *s != '\0' && n < 124; ++s) out[n++] = (WCHAR)*s;
  if (second != NULL) out[n++] = 0;
  out[n] = 0;
  return out;
}

static NTSTATUS ModulePnp(Extension* x, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Module* m = &g_modules[x->slot];
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR information = irp->IoStatus.Information;
  char device_id[24];
  DeviceId(kProducts[x->slot], device_id);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: {
      WCHAR* ids = NULL;
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          ids = Ids(device_id, NULL);
          break;
        case BusQueryInstanceID:
          ids = Ids(kSerials[x->slot], NULL);
          break;
        case BusQueryHardwareIDs:
          ids = Ids(device_id, "");
          break;
        case BusQueryCompatibleIDs:
          /* Without a compatible ID the system never starts the device. */
          ids = Ids("USB\\Class_FF", "");
          break;
        default:
          break;
      }
      if (ids != NULL) {
        status = STATUS_SUCCESS;
        information = (ULONG_PTR)ids;
      }
      break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->RawDeviceOK = 1; /* no function driver above: the device serves its requests itself */
      caps->UniqueID = 1;
      caps->Removable = 1;
      caps->SurpriseRemovalOK = 1;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_START_DEVICE:
      if (!m->interface_registered) {
        status = IoRegisterDeviceInterface(x->self, &kModuleInterface, NULL, &m->interface_name);
        m->interface_registered = NT_SUCCESS(status);
      }
      m->started = m->interface_registered;
      SetInterface(m, m->plugged && !m->removed);
      status = m->started ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
      break;
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      SetInterface(m, FALSE);
      m->started = FALSE;
      EndHeld(m, NULL, NULL, STATUS_DEVICE_NOT_CONNECTED);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  Complete(irp, status, information);
  return status;
}

/* ---- dispatch */

static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  Extension* x = device->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      if (x->kind == KIND_BUS) return BusPnp(x, irp);
      if (x->kind == KIND_MODULE) return ModulePnp(x, irp);
      break;
    case IRP_MJ_POWER:
      if (x->kind == KIND_BUS) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(x->lower, irp);
      }
      PoStartNextPowerIrp(irp);
      Complete(irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    case IRP_MJ_CREATE:
      if (x->kind == KIND_MODULE) {
        Module* m = &g_modules[x->slot];
        if (m->removed || !m->plugged) {
          Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
          return STATUS_DEVICE_NOT_CONNECTED;
        }
        InterlockedIncrement((volatile LONG*)&m->open_handles);
      }
      Complete(irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      /* Windows sends cleanup while the handle's transfers may still be held; Wine sends only
       * close. Either way what the handle left behind is ended here, once. */
      if (x->kind == KIND_MODULE) {
        Module* m = &g_modules[x->slot];
        EndHeld(m, OfFile, stack->FileObject, STATUS_CANCELLED);
        if (stack->MajorFunction == IRP_MJ_CLOSE) InterlockedDecrement((volatile LONG*)&m->open_handles);
      }
      Complete(irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    case IRP_MJ_DEVICE_CONTROL:
      if (x->kind == KIND_MODULE) return ModuleControl(x, irp);
      if (x->kind == KIND_CONTROL) return ControlRequest(irp);
      break;
    default:
      break;
  }
  if (x->kind == KIND_BUS) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(x->lower, irp);
  }
  Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  return STATUS_INVALID_DEVICE_REQUEST;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  const NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  Extension* x = fdo->DeviceExtension;
  RtlZeroMemory(x, sizeof *x);
  x->kind = KIND_BUS;
  x->self = fdo;
  x->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void NTAPI Unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  (void)driver;
  InterlockedExchange(&g_stop, 1);
  KeSetEvent(&g_work, IO_NO_INCREMENT, FALSE);
  if (g_worker != NULL) {
    ZwWaitForSingleObject(g_worker, FALSE, NULL);
    ZwClose(g_worker);
  }
  RtlInitUnicodeString(&link, L"\\DosDevices\\RngacqFakeControl");
  IoDeleteSymbolicLink(&link);
  if (g_control != NULL) IoDeleteDevice(g_control);
  for (int i = 0; i < FAKE_SLOTS; ++i) {
    if (g_children[i] != NULL) IoDeleteDevice(g_children[i]);
    if (g_modules[i].answer != NULL) ExFreePool(g_modules[i].answer);
  }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
  UNICODE_STRING name, link;
  NTSTATUS status;
  (void)registry;
  KeInitializeSpinLock(&g_lock);
  KeInitializeEvent(&g_work, SynchronizationEvent, FALSE);
  for (int i = 0; i < FAKE_SLOTS; ++i) {
    Module* m = &g_modules[i];
    UCHAR defaults[FAKE_SLOT_SIZE] = {0};
    InitializeListHead(&m->held);
    m->answer = ExAllocatePool(NonPagedPool, ANSWER_ROOM);
    if (m->answer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    /* Until a test says otherwise no module is attached, so that tests which expect none are
     * undisturbed; a module plugged in runs at high speed with a driver that moves data directly. */
    defaults[FAKE_SLOT_HIGH_SPEED] = 1;
    defaults[FAKE_SLOT_STATUS_NIBBLE] = 0xFF;
    defaults[FAKE_SLOT_END_NIBBLE] = 0xFF;
    Put32(defaults + FAKE_SLOT_DRIVER_VERSION, 0x01050500);
    Put64(defaults + FAKE_SLOT_SEED, (ULONGLONG)i + 1);
    ResetModule(m, defaults);
  }
  for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;

  RtlInitUnicodeString(&name, L"\\Device\\RngacqFakeControl");
  status = IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_control);
  if (!NT_SUCCESS(status)) return status;
  Extension* x = g_control->DeviceExtension;
  RtlZeroMemory(x, sizeof *x);
  x->kind = KIND_CONTROL;
  x->self = g_control;
  g_control->Flags |= DO_BUFFERED_IO;
  g_control->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
  RtlInitUnicodeString(&link, L"\\DosDevices\\RngacqFakeControl");
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) return status;
  return PsCreateSystemThread(&g_worker, THREAD_ALL_ACCESS, NULL, NULL, NULL, Worker, NULL);
}
