#include "transfer/series.h"

#include "api/trace.h"
#include "transfer/header.h"
#include "transfer/records.h"

namespace orv::transfer {

std::uint32_t SendSeriesFiles(const DataFileDesc& data, SeriesLink& link) {
    const TransferHeader& h = State().header;
    const std::uint32_t lastFile = h.lastFileNumber;
    // Wider than a byte, so that a series ending at 255 ends.
    for (std::uint32_t k = h.fileNumber; k <= lastFile; ++k) {
        File file;
        if (!OpenNumbered(file, data.path, k, kModeRead)) {
            ORV_TRACE("%s: file %u of the series cannot be opened, skipped", link.traceName, k);
            continue;
        }
        const std::size_t headerLength = RestoreHeaderBlock(k, link.block, link.capacity);
        std::uint32_t rc = link.SendHeader(HeaderBlockType(k == lastFile), headerLength);
        if (rc != OL_OK) return rc;
        DataRecordReader reader(file, data.csv != 0, State().layout);
        bool last = false;
        while (!last) {
            const std::size_t length = link.NextData(reader, &last);
            if (length == 0) break;
            rc = link.SendData(DataBlockType(last), length);
            if (rc != OL_OK) return rc;
        }
        file.Close();
        rc = link.FileSent();
        if (rc != OL_OK) return rc;
    }
    return OL_OK;
}

}  // namespace orv::transfer
