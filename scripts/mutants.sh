#!/usr/bin/env bash
# Plants faults a real slip could make, one at a time, and checks that the tests notice each:
# the file is edited, the build folder rebuilds what changed, the tests that cover that code run,
# and the file is put back. Ends with "noticed K/N" and fails unless every fault was noticed.
#
#   scripts/mutants.sh            every fault
#   scripts/mutants.sh PATTERN    only the faults whose description matches PATTERN
#
# Each fault: file ::: exact text (found exactly once) ::: replacement ::: ctest regex ::: what.
# In the texts, \n stands for a line break.
set -euo pipefail
cd "$(dirname "$0")/.."
only=${1:-}
build=${RNGACQ_MUTANTS_BUILD:-build/mutants}  # CI reuses the debug build of the README's tests
jobs=$(nproc)

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset debug -B "$build" -DRNGACQ_BENCH=OFF >/dev/null
fi
# The programs the tests run and the test programs; not the libraries' other variants.
targets=(rngacq rngacq-sim rngacq-check)
for t in app console e2e library libusb protocol quality sysinfo usb; do
  [ -d "tests/$t" ] && targets+=("test_$t")
done
cmake --build "$build" -j "$jobs" --target "${targets[@]}" >/dev/null

faults=$(cat <<'FAULTS'
src/core/module.cpp ::: report.status = answer[kStatusOffset] & 0x0F; ::: report.status = answer[kStatusOffset] & 0x07; ::: Exchange ::: a wrong status nibble passes when its low three bits match the mode
src/core/module.cpp ::: report.end = answer[63 + 16 * n] & 0x0F; ::: report.end = answer[63 + 16 * n] & 0x07; ::: Exchange ::: the last block's end nibble is read without its top bit
src/core/module.cpp ::: return std::memcmp(last, kClosingFrame.data(), 4) == 0 && (last[8] & 0x80) != 0; ::: return (last[8] & 0x80) != 0; ::: Exchange ::: a closing frame is recognised without its signature
src/core/module.cpp ::: std::move(send_context)) != size) { ::: std::move(send_context)) < size - 1) { ::: Exchange|Library ::: a send one byte short is accepted
src/core/module.cpp ::: std::move(receive_context)) == answer_length) { ::: std::move(receive_context)) >= answer_length - 1) { ::: Exchange|Library ::: an answer one byte short is accepted
src/core/module.cpp ::: record.event->Wait(kAbortWaitMs);\n      timed_out = true; ::: timed_out = true; ::: Exchange ::: an aborted transfer still under way gets no extra time
src/core/module.cpp ::: if (endpoint.LastError == usb::kErrorIoPending) {\n      record.event->Wait ::: if (started) {\n      record.event->Wait ::: Exchange|Library ::: an unplugged module is reported as a time-out
src/core/module.cpp ::: constexpr std::size_t kDataOffset = 48; ::: constexpr std::size_t kDataOffset = 32; ::: Exchange|Library|Acquisition ::: the data are taken from the wrong place of the answer
src/core/module.cpp ::: const std::uint32_t n = length / 16 + (length % 16 != 0 ? 1 : 0); ::: const std::uint32_t n = length / 16 + 1; ::: Exchange|Library ::: a whole number of frames asks for one frame more
src/core/module.cpp ::: if (Stranded()) return Error::Unusable; ::: if (false) return Error::Unusable; ::: Library ::: buffers a lost transfer still holds are reused
src/core/module.cpp ::: open = Identify(device).serial == selector.serial; ::: open = !Identify(device).serial.empty(); ::: Library|Acquisition ::: serial= takes the first module
src/core/module.cpp ::: if (present > 1) return fail(Error::SeveralModules); ::: if (present > 2) return fail(Error::SeveralModules); ::: Library|Acquisition ::: two modules are not refused
src/core/module.cpp ::: if (selector.index >= present) return fail(Error::NoMatch); ::: if (selector.index > present) return fail(Error::NoMatch); ::: Library ::: index= one past the last module
src/core/module.cpp ::: command[kFrameSize + 15] = mode_; ::: command[kFrameSize + 14] = mode_; ::: Exchange ::: the mode travels in the wrong byte of its frame
src/core/module.cpp ::: if (length != kBlockSize) {\n    ++frames; ::: if (length < kBlockSize - 16) {\n    ++frames; ::: Exchange ::: a block just short of the full size is not closed
src/core/c_api.cpp ::: *count = modules.size(); ::: *count = std::min(modules.size(), capacity); ::: Library ::: the list count is cut to the caller's capacity
src/core/c_api.cpp ::: return Guarded([&] { return Code(owned->module->Close()); }); ::: return Guarded([&] { owned->module->Close(); return 0; }); ::: Library ::: a module the system keeps is reported released
src/core/c_api.cpp ::: if (error != core::Error::None) return Code(error);\n    *module ::: if (error != core::Error::None && error != core::Error::NoEndpoints) return Code(error);\n    *module ::: Library ::: a module without endpoints is handed out
src/usb/endpoint.cpp ::: if (record.event) record.event->Wait(kCollectWaitMs); ::: (void)kCollectWaitMs; ::: Usb.*EndPoint ::: a transfer still owned by the driver is not waited for before it is given up
src/usb/endpoint.cpp ::: count = std::min<std::int64_t>(count, context->DataLength); ::: (void)context->DataLength; ::: Usb.*EndPoint ::: a driver's inflated byte count is believed
src/usb/endpoint.cpp ::: std::int64_t{b} - std::int64_t{context->DataOffset} ::: std::int64_t{b} ::: Usb.*EndPoint ::: a buffered transfer counts its header as data
src/usb/endpoint.cpp ::: LastError = outcome.success ? kErrorSuccess : outcome.error; ::: LastError = outcome.success ? kErrorSuccess : kErrorGenFailure; ::: LibusbBackend ::: a module unplugged during a transfer is reported as a short transfer
src/usb/endpoint.cpp ::: ++StrandedTransfers; ::: (void)StrandedTransfers; ::: Usb.*EndPoint|Library ::: a lost transfer is not counted
src/usb/transfer_request.cpp ::: WriteLe32(p + 30, request.DataOffset); ::: WriteLe32(p + 30, request.DataLength); ::: Usb.*EndPoint|UsbDevice ::: the request header carries the wrong data offset
src/usb/transfer_request.cpp ::: WriteLe16(p + 6, request.wLength); ::: WriteLe16(p + 6, request.wIndex); ::: Usb.*EndPoint|UsbDevice ::: the request header carries the wrong length
src/usb/device.cpp ::: while (length < capacity && text[length] != 0) ++length; ::: while (length < capacity) ++length; ::: UsbDevice|Utf16|Library|Acquisition ::: strings run past their terminating zero
src/app/run.cpp ::: if (remainder != 0) return NextBlock ::: if (remainder > 16) return NextBlock ::: RunTest|Acquisition ::: a record's last part of 1 to 16 bytes is lost
src/app/run.cpp ::: end == RecordEnd::Complete && elapsed_ms < kMinimumFileMs && run.remaining > 1 ::: end == RecordEnd::Complete && run.remaining > 1 ::: RunTest|Acquisition ::: the pause between files is taken after a slow file too
src/app/run.cpp ::: if (run.log_created && log.LoggedBytes == 0) platform::DeleteFile(run.log_name); ::: (void)log; ::: RunTest|Acquisition ::: an empty log this run made is left behind
src/app/run.cpp ::: run.log_created = !existed; ::: run.log_created = !existed || !run.log_name.empty(); ::: RunTest|Acquisition ::: an older log that stays empty is removed
src/app/run.cpp ::: if (run.data_created && run.sink->Close()) platform::DeleteFile(run.data_name); ::: (void)run.data_created; ::: RunTest|Acquisition ::: the empty data file of a log that cannot be made is left behind
src/app/run.cpp ::: if (platform::InterruptionCode() != 0) return RecordEnd::Interrupted;\n  const std::int32_t result ::: const std::int32_t result ::: Acquisition ::: an interruption does not stop the record
src/app/run.cpp ::: if (end == RecordEnd::ReaderGone || run.sink_failed) return end; ::: if (end != RecordEnd::Complete && end != RecordEnd::Interrupted) return end; ::: Acquisition ::: a failed record's last bytes on standard output are dropped
src/app/run.cpp ::: if (end == RecordEnd::ReaderGone || run.sink_failed) return end; ::: if (end != RecordEnd::Interrupted) return end; ::: Acquisition ::: the stream's last bytes are never flushed
src/app/run.cpp ::: case DataSink::Outcome::ReaderGone:\n      return RecordEnd::ReaderGone; ::: case DataSink::Outcome::ReaderGone:\n      break; ::: Acquisition ::: a reader that leaves is taken for a write failure
src/app/run.cpp ::: if (platform::InterruptionCode() == 0) WaitForKey(); ::: WaitForKey(); ::: Acquisition ::: an interrupted run waits at the key prompt
src/app/run.cpp ::: ReportStreamsLeftOpen();\n  platform::RestorePriority();\n  return 1; ::: ReportStreamsLeftOpen();\n  platform::RestorePriority();\n  return 0; ::: RunTest|Acquisition|RngacqOnEmulatedBus ::: a failed run ends with exit code 0
src/app/command_line.cpp ::: if (read == NumberRead::Overflow || value < 0) return Unrecognised ::: if (read == NumberRead::Overflow) return Unrecognised ::: CommandLineTest ::: a negative file count is taken
src/app/command_line.cpp ::: return s.vendor == id->vendor && s.product == id->product; ::: return s.vendor == id->vendor; ::: CommandLineTest|RngacqOnEmulatedBus ::: a second ID of the same vendor is dropped
src/app/command_line.cpp ::: if (names > 0 && SameName(settings.LogFileName, settings.DataFileName)) { ::: if (names > 0 && SameName(DeriveLogName(settings.DataFileName), settings.DataFileName)) { ::: CommandLineTest ::: a data file named like a log is refused although a second name gives its log
src/app/command_line.cpp ::: std::filesystem::path(text).lexically_normal().u8string(); ::: std::filesystem::path(text).u8string(); ::: Startup ::: the missing catalogue's path is shown with its dot-dot parts
src/console/catalogue.cpp ::: const std::size_t semicolon = buffer.find(';'); ::: const std::size_t semicolon = buffer.rfind(';'); ::: IniReader|Catalogue ::: a remark is cut at its last semicolon
src/console/catalogue.cpp ::: if (units > kMessageCapacity) break; ::: if (units > kMessageCapacity + 1) break; ::: IniReader|Catalogue ::: texts run one unit past their capacity
src/console/output.cpp ::: text = CutUtf8(whole, kLoggedTextLimit); ::: text = whole; ::: Output ::: logged texts are not cut
src/console/output.cpp ::: if (g_texts_to_standard_error) { ::: if (false) { ::: Acquisition|Output ::: with /STDOUT the texts still go to standard output
src/app/progress.cpp ::: if (value <= kLimit && value >= -kLimit) return value * 100 / total; ::: if (value <= kLimit && value >= -kLimit) return (value * 100 + total - 1) / total; ::: ShowProgress ::: percentages round up
src/text/text.cpp ::: if (high(u) && i + 1 < units.size() && low(units[i + 1])) { ::: if (high(u) && i + 1 < units.size()) { ::: IniReader|Catalogue|UsbDevice|Utf16 ::: a high surrogate swallows whatever follows
src/platform/posix/platform_posix.cpp ::: return errno == EPIPE ? DataWrite::ReaderGone : DataWrite::Failed; ::: return DataWrite::Failed; ::: Platform|Acquisition ::: a closed pipe is taken for a failed disk
src/platform/posix/platform_posix.cpp ::: return ::isatty(STDIN_FILENO) ? ReadByte(STDIN_FILENO) : ReadWaitingByte(); ::: return ReadByte(STDIN_FILENO); ::: Platform|Acquisition ::: a key wait blocks on a silent pipe
src/platform/posix/platform_posix.cpp ::: if (RecordInterruption(128 + signal_number) != 0) { ::: if (RecordInterruption(128 + SIGINT) != 0) { ::: Acquisition ::: SIGTERM ends with the exit code of SIGINT
src/app/run.cpp ::: if (result != 0 || run.checker->Failed()) return RecordEnd::Failed; ::: if (result != 0) return RecordEnd::Failed; ::: Acquisition ::: a stuck source does not stop the run at once
src/app/run.cpp ::: const RecordEnd end = RequestBlocks(run, settings);\n  CheckDelivered(run); ::: const RecordEnd end = RequestBlocks(run, settings); ::: RunTest|Acquisition ::: a record's last block is never checked
src/app/run.cpp ::: return EndWithoutPrompt(run, run.verdict_failed ? 1 : 0); ::: return EndWithoutPrompt(run, 0); ::: Acquisition ::: a failed quality verdict ends with exit code 0
src/app/run.cpp ::: return settings.GeneratorMode == 3 ? 1 : 8; ::: return 8; ::: Acquisition ::: raw data are checked against the full-entropy claim
src/app/command_line.cpp ::: !(claim >= 1 && claim <= 8) ::: !(claim > 0 && claim <= 8) ::: Acquisition|CommandLineTest ::: an entropy claim below one bit is taken
src/quality/health.cpp ::: return 1 + static_cast<std::uint32_t>(std::ceil(static_cast<double>(alpha_log2) / h)); ::: return 2 + static_cast<std::uint32_t>(std::ceil(static_cast<double>(alpha_log2) / h)); ::: Cutoffs|Health|Checker|SimulatedFaults ::: the repetition cutoff is one too high
src/quality/health.cpp ::: return 1 + CriticalBinomial(window, std::exp2(-static_cast<long double>(h)), alpha_log2); ::: return CriticalBinomial(window, std::exp2(-static_cast<long double>(h)), alpha_log2); ::: Cutoffs|Health|Checker|SimulatedFaults ::: the proportion cutoff is one too low
src/quality/health.cpp ::: for (std::size_t k = size - std::min(size, kRepeatLag); k < size;) { ::: for (std::size_t k = size; k < size;) { ::: Checker|SimulatedFaults ::: the block repetition test keeps no history between feeds
src/quality/fips.cpp ::: if (ones <= 9725 || ones >= 10275) failed |= 1u << kMonobit; ::: if (ones < 9725 || ones > 10275) failed |= 1u << kMonobit; ::: Fips|Checker|Tools ::: the monobit interval takes its ends
src/quality/fips.cpp ::: constexpr std::uint32_t kLongRunBits = 26; ::: constexpr std::uint32_t kLongRunBits = 27; ::: Fips|Checker|Tools ::: a long run of 26 bits passes
src/quality/fips.cpp ::: ++counts[1 - last_bit][tail_bin]; ::: ++counts[last_bit][tail_bin]; ::: Fips|Tools ::: a block's last run is counted as rngtest does not
src/quality/fips.cpp ::: counts[1][5] += !after_one && starts_with_one; ::: counts[1][5] += !after_one && starts_with_one && false; ::: Fips|Tools ::: a block that begins with a 1 after a 0 counts as rngtest does not
src/quality/statistics.cpp ::: s.mean = static_cast<double>(sum) / total; ::: s.mean = static_cast<double>(sum) / (total + 1); ::: Statistics|Checker|Tools ::: the mean divides by one byte more
FAULTS
)

total=0
noticed=0
missed=()
while IFS= read -r line; do
  [ -z "$line" ] && continue
  file=${line%% ::: *}; rest=${line#* ::: }
  from=${rest%% ::: *}; rest=${rest#* ::: }
  to=${rest%% ::: *}; rest=${rest#* ::: }
  tests=${rest%% ::: *}; what=${rest#* ::: }
  if [ -n "$only" ] && [[ ! $what =~ $only ]]; then continue; fi
  total=$((total + 1))
  cp "$file" "$build/mutant.orig"
  if ! FROM=$from TO=$to perl -0777 -e '
      my $text = do { local $/; <> };
      my ($from, $to) = ($ENV{FROM}, $ENV{TO});
      s/\\n/\n/g for ($from, $to);
      my $count = () = $text =~ /\Q$from\E/g;
      die "found $count times\n" unless $count == 1;
      $text =~ s/\Q$from\E/$to/;
      print $text;' "$file" >"$build/mutant.new" 2>"$build/mutant.err"; then
    echo "BROKEN  $what: $file: $(cat "$build/mutant.err")"
    missed+=("$what (fault not planted)")
    continue
  fi
  cp "$build/mutant.new" "$file"
  verdict="missed "
  if ! cmake --build "$build" -j "$jobs" --target "${targets[@]}" >"$build/mutant.log" 2>&1; then
    verdict="BROKEN "  # a fault that does not build proves nothing
  elif ! ctest --test-dir "$build" -R "$tests" -j "$jobs" --timeout 120 >"$build/mutant.log" 2>&1; then
    verdict="noticed"
  elif ! grep -q "tests passed" "$build/mutant.log"; then
    verdict="BROKEN "
  fi
  cp "$build/mutant.orig" "$file"
  echo "$verdict $what"
  if [ "$verdict" = "noticed" ]; then noticed=$((noticed + 1)); else missed+=("$what"); fi
done <<<"$faults"

# Leave the build folder matching the sources again.
cmake --build "$build" -j "$jobs" --target "${targets[@]}" >/dev/null
echo "noticed $noticed/$total"
if [ "$noticed" -ne "$total" ]; then
  printf 'not noticed: %s\n' "${missed[@]}"
  exit 1
fi
