#include "talvik/pair_search.h"

namespace talvik {

void search_name_pairs(PairSearchContext& context, int32_t n_threads) noexcept {
    SearchOptions options;
    options.threads = n_threads;
    options.max_pairs = context.max_pairs;
    options.poll = context.poll;
    context.thread_results = find_pairs(context.name_ptrs.first(static_cast<size_t>(context.n_names)), *context.tt,
                                        options);
    context.error = context.thread_results.error();
}

}  // namespace talvik
