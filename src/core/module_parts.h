#pragma once

#include <memory>

#include "browse/local_media.h"
#include "channel/broker_channel.h"
#include "media/medium_route.h"
#include "media/prefix_store.h"
#include "media/registrations.h"
#include "media/sub_request_places.h"
#include "zip/zip_jobs.h"

namespace zel::core {

// What the module object lends its services for one request: the channel to the other components,
// the medium-id prefix table, the local media, the DVR registrations, the places for grouped
// sub-requests and the zip jobs. Services get these parts, never the module object, so that nothing
// in a service reaches back into the core.
struct ModuleParts {
  std::shared_ptr<const channel::BrokerChannel> channel;  // shared: a grouped request may outlive Close
  media::PrefixStore& prefixes;
  browse::CLocalMedia& local_media;
  media::DvrTable& dvrs;
  std::shared_ptr<media::SubRequestPlaces> sub_requests;  // shared for the same reason
  zip::ZipJobs& zip_jobs;

  const channel::BrokerChannel& Channel() const { return *channel; }
  media::MediumRouter Router() const { return {prefixes, local_media, *channel}; }
};

}  // namespace zel::core
