// The store a station records in: its local history, its name, its shipper.
#include "history/history_shipper.h"

namespace {

class StationStore : public IHistoryStore {
  public:
    StationStore(std::unique_ptr<IHistoryStore> local, std::string station,
                 std::unique_ptr<IHistoryShipper> shipper, int drainMs)
        : local_(std::move(local)),
          station_(std::move(station)),
          shipper_(std::move(shipper)),
          drainMs_(drainMs) {
        if (shipper_) shipper_->MarkThrough(local_.get());
    }
    ~StationStore() override {
        if (shipper_) shipper_->Stop(drainMs_);
    }

    int64_t BeginUpdate(const HistoryUpdate& start, std::string* error) override {
        int64_t id;
        if (start.station.empty() && !station_.empty()) {
            HistoryUpdate named = start;
            named.station = station_;
            id = local_->BeginUpdate(named, error);
        } else {
            id = local_->BeginUpdate(start, error);
        }
        poke();
        return id;
    }
    bool AddFile(int64_t id, const HistoryFile& file, std::string* error) override {
        bool ok = local_->AddFile(id, file, error);
        poke();
        return ok;
    }
    bool AddAnswers(int64_t id, const std::vector<HistoryAnswer>& answers,
                    std::string* error) override {
        bool ok = local_->AddAnswers(id, answers, error);
        poke();
        return ok;
    }
    bool FinishUpdate(int64_t id, const HistoryUpdate& end, std::string* error) override {
        bool ok = local_->FinishUpdate(id, end, error);
        poke();
        return ok;
    }
    bool ForEach(const HistoryFilter& f, const Each& each, std::string* error) override {
        return local_->ForEach(f, each, error);
    }
    bool Count(const HistoryFilter& f, int64_t* count, std::string* error) override {
        return local_->Count(f, count, error);
    }
    bool MarkShipped(const std::vector<HistoryShipMark>& marks, int64_t ms,
                     std::string* error) override {
        return local_->MarkShipped(marks, ms, error);
    }

    const IHistoryShipping* shipping() const { return shipper_.get(); }

  private:
    void poke() {
        if (shipper_) shipper_->Poke();
    }

    std::unique_ptr<IHistoryStore> local_;
    std::string station_;
    std::unique_ptr<IHistoryShipper> shipper_;
    int drainMs_;
};

}  // namespace

std::unique_ptr<IHistoryStore> history_StationStore(std::unique_ptr<IHistoryStore> local,
                                                    std::string station,
                                                    std::unique_ptr<IHistoryShipper> shipper,
                                                    int drainMs) {
    if (!local) return nullptr;
    return std::unique_ptr<IHistoryStore>(
        new StationStore(std::move(local), std::move(station), std::move(shipper), drainMs));
}

const IHistoryShipping* history_ShippingOf(const IHistoryStore* store) {
    const StationStore* s = dynamic_cast<const StationStore*>(store);
    return s ? s->shipping() : nullptr;
}
