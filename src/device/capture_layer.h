// A USB layer that records every transfer of the layer it wraps to a pcap file.
//
// The file uses link type 220 (LINKTYPE_USB_LINUX_MMAPPED), the format of Linux usbmon,
// so that Wireshark and tshark decode it as USB traffic. Each transfer gives two records:
// a submission ('S') carrying the OUT data and a completion ('C') carrying the IN data
// and the transfer's status. A device's first transfer in a file is preceded by the
// GET_DESCRIPTOR (device) exchange that usbmon shows when a device enumerates, so that a
// reader knows which device the traffic belongs to: Wireshark hands a device's transfers to
// the dissector registered for its vendor and product. The descriptor carries the
// identifiers the board was matched by (init's MatchEntry); its other fields are those of a
// USB 2.0 device with vendor-defined interfaces.
//
// A transfer only queues its records in memory; a thread of the layer writes them to the
// file (creating it with the first) at most kFlushDelay after the first one not yet written (it
// sleeps while nothing waits), and so do flush() and closing the layer. A process killed outright
// loses at most the last fraction of a second. flush() takes locks and writes a file: it is not for
// signal handlers. A program that ends on a signal notes it there (a self-pipe, a flag)
// and calls flush() or destroys the layer from its own thread.
#pragma once

#include "usb_layer.h"

#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace korva {

class CaptureLayer : public UsbLayer {
  public:
    // The link type the file is written with.
    static constexpr int kLinkType = 220;
    // Size of the usbmon header in front of each record's data.
    static constexpr std::uint32_t kHeaderSize = 64;
    // The longest a record waits in the buffer before it is written out.
    static constexpr std::chrono::milliseconds kFlushDelay{150};

    // Forwards everything to `inner`, which must outlive this object; nothing is recorded
    // until open(). The notices of `inner` stay its own: onNotice here tells only of the
    // capture file.
    explicit CaptureLayer(UsbLayer& inner);
    // The same, with the file opened at once.
    CaptureLayer(UsbLayer& inner, const std::string& path);
    // Records the transfers from here on to the capture file at `path`. The file is created
    // (or emptied) only when the first record is written, so that a run that sends nothing
    // leaves an existing file as it was; here it is only checked that it can be written.
    // Throws std::runtime_error with the text "cannot write capture file <path>: <reason>"
    // when it cannot (no such folder, no permission, a folder, a NUL byte in the name).
    // Failing to create or write the file later is one notice through onNotice, and the
    // recording stops; a failed write leaves the file ending with its last whole record.
    void open(const std::string& path);
    // Closes the file.
    ~CaptureLayer() override;
    CaptureLayer(const CaptureLayer&) = delete;
    CaptureLayer& operator=(const CaptureLayer&) = delete;

    Status init(DriverHandle* driver, const MatchEntry& match, const EventTable& events) override;
    // Forwards the call; the file stays open, so transfers made after a later init are
    // still recorded.
    void uninit(DriverHandle driver) override;
    Status getDeviceInfo(DeviceHandle device, DeviceInfo* info) override;
    Status transferBulk(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                        std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                        std::uint32_t* transferred, std::uint32_t timeoutMs) override;
    Status transfer(DeviceHandle device, std::uint32_t pipe, std::uint32_t readFlag,
                    std::uint32_t options, std::uint8_t* buffer, std::uint32_t size,
                    std::uint32_t* transferred, const std::uint8_t setup[8],
                    std::uint32_t timeoutMs) override;
    Status setInterface(DeviceHandle device, std::uint32_t interfaceNumber,
                        std::uint32_t alternateSetting) override;
    // Records each packet's submission and completion as the wrapped layer reports them,
    // each packet a transfer of its own.
    Status streamBulk(DeviceHandle device, std::uint32_t pipe, const std::uint8_t* data,
                      std::uint32_t size, std::uint32_t packetSize, StreamReport* report,
                      std::uint32_t timeoutMs, StreamWatcher* watcher) override;
    std::string stat2Str(Status s) override { return inner_.stat2Str(s); }

    // Writes every record taken so far to the file (and flushes the wrapped layer).
    void flush() override;
    // Closes the file early; transfers still pass through afterwards, unrecorded.
    // Calling it again (or destroying the layer afterwards) does nothing more.
    void close();
    const std::string& path() const { return path_; }

    // The usbmon status of a completion: 0, or the negative errno that matches the status.
    static std::int32_t errnoForStatus(Status s);
    // The device number written for a handle: 1..127, or 0 for "no board".
    static std::uint8_t deviceNumber(DeviceHandle device);

  private:
    class StreamRecorder;

    // Writes the submission record and returns the URB id that pairs it with its completion
    // (`urbId`, or a new one when it is 0).
    std::uint64_t submit(DeviceHandle device, std::uint8_t endpoint, std::uint8_t transferType,
                         const std::uint8_t* setup, const std::uint8_t* buffer, std::uint32_t size,
                         std::uint64_t urbId = 0);
    // Tells onNotice, once, that writing the file failed.
    void reportWriteFailure();
    // Writes the queued records to the file, creating it first when none has been written;
    // false (and the capture stopped) when that fails.
    bool writeOut();
    // Why the file at `path` cannot be written, without creating or changing it; empty when
    // it can.
    static std::string cannotWrite(const std::string& path);
    // Creates the file and writes its header (fileMutex_ held); the reason when that fails.
    std::string createFile();
    void closeFile();
    // Stops recording after a failure that `why` tells (fileMutex_ held); returns false.
    bool stopRecording(std::string why);
    void flusherLoop();
    void complete(std::uint64_t urbId, DeviceHandle device, std::uint8_t endpoint,
                  std::uint8_t transferType, Status s, const std::uint8_t* buffer,
                  std::uint32_t size, std::uint32_t transferred);
    // Queues the device's descriptor exchange unless the file has it already (m_ held).
    void describeDevice(DeviceHandle device);
    // Queues a record (m_ held).
    void writeRecord(std::uint64_t urbId, char type, std::uint8_t transferType,
                     std::uint8_t endpoint, DeviceHandle device, const std::uint8_t* setup,
                     char dataFlag, std::int32_t status, std::uint32_t urbLength,
                     const std::uint8_t* data, std::uint32_t dataLength);

    UsbLayer& inner_;
    std::string path_;
    // The transfers' side: the queue of records not yet written, the URB ids.
    std::mutex m_;
    std::uint64_t nextUrb_ = 1;
    // Bytes that grow without being cleared first: every byte of a record is written as the
    // record is put together, once.
    class Bytes {
      public:
        void reserve(std::size_t n);
        // `n` more bytes at the end, not yet written; returns where they begin.
        std::uint8_t* grow(std::size_t n);
        const std::uint8_t* data() const { return data_.get(); }
        std::size_t size() const { return size_; }
        bool empty() const { return size_ == 0; }
        void clear() { size_ = 0; }
        void swap(Bytes& other) noexcept {
            data_.swap(other.data_);
            std::swap(size_, other.size_);
            std::swap(capacity_, other.capacity_);
        }

      private:
        struct Unmap {
            std::size_t size;
            void operator()(std::uint8_t* p) const;
        };
        using Memory = std::unique_ptr<std::uint8_t, Unmap>;
        Memory data_{nullptr, Unmap{0}};
        std::size_t size_ = 0, capacity_ = 0;
    };
    Bytes queue_; // records as the file holds them
    bool recording_ = false;
    MatchEntry match_;           // the identifiers the descriptor exchange shows
    std::bitset<128> described_; // device numbers whose descriptor the file holds
    bool stopping_ = false;
    bool writerIdle_ = false; // the writing thread waits for a first record to arrive
    std::condition_variable wake_;
    std::string writeFailure_; // set when a write fails, until reported
    // The file's side, locked before m_ when both are.
    std::mutex fileMutex_;
    pcap* pcap_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
    bool fileWanted_ = false; // open() was called and the file has not failed
    Bytes writing_;
    std::thread flusher_;
};

} // namespace korva
