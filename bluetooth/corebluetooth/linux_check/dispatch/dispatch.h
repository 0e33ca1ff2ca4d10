// Our own declarations of the part of libdispatch that the Objective-C layer uses, written from
// Apple's public reference, for the syntax check on Linux only (scripts/check-objc.sh). On
// macOS the system's header is used.
#pragma once

#import <Foundation/Foundation.h>

// Under ARC, dispatch objects are Objective-C objects.
@protocol OS_dispatch_queue <NSObject>
@end
@protocol OS_dispatch_queue_attr <NSObject>
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;
typedef void (^dispatch_block_t)(void);

#define DISPATCH_QUEUE_SERIAL NULL

extern "C" {
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_sync(dispatch_queue_t queue, dispatch_block_t block);
}
