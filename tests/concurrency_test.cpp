// Many runs of both programs started at once on the same LUNs: the lock file
// must serialise every load-change-save so that no override is lost and the
// file stays whole.

#include "harness.hpp"

#include <map>

namespace e2e {
namespace {

constexpr int kLuns = 8;
constexpr int kCallouts = 100;

struct Job {
    const char *program;
    std::vector<std::string> args;
    const Path *path;
    int lunref;
};

class Concurrency : public SimTest {};

TEST_F(Concurrency, ParallelCalloutsAndOverridesLoseNoUpdate)
{
    std::vector<Lun> luns;
    std::vector<Path> paths;  // 4 per LUN, LUN i at 4 * i
    std::string text;
    for (int i = 0; i < kLuns; ++i) {
        luns.push_back({i, 0x70 + i, "par" + std::to_string(i)});
        for (int cp = 0; cp < 4; ++cp) {
            Path p;
            p.dev = "/dev/sd" + std::string(1, static_cast<char>('a' + i)) +
                    std::string(1, static_cast<char>('a' + cp));
            p.host = 2 + cp % 2;
            p.id = cp / 2;
            p.lun = i;
            p.cp = cp;
            paths.push_back(p);
            text += node_text(luns.back(), p);
        }
    }
    scenario(text);

    // One override per path on three of each LUN's four ports; the fourth
    // port keeps its default, so every callout's answer is known exactly
    // once the override of its path has or has not yet happened.
    std::map<std::string, int> overrides;
    std::vector<Job> jobs;
    for (std::size_t k = 0; k < paths.size(); ++k) {
        if (paths[k].cp != 3) {
            int value = 5 + static_cast<int>(k % 4);
            overrides[paths[k].dev] = value;
            jobs.push_back({kTald,
                            {"--prio", "--set", paths[k].dev, std::to_string(value)},
                            &paths[k],
                            luns[k / 4].lunref});
        }
    }
    for (int n = 0; n < kCallouts; ++n) {
        std::size_t k = (static_cast<std::size_t>(n) * 7) % paths.size();
        jobs.push_back({kCallout, {paths[k].dev}, &paths[k], luns[k / 4].lunref});
    }
    // Interleave the two kinds so that the start order mixes them.
    std::vector<Job> order;
    for (std::size_t a = 0, b = kLuns * 3; a < kLuns * 3 || b < jobs.size();) {
        if (b < jobs.size()) {
            order.push_back(jobs[b++]);
        }
        if (b < jobs.size()) {
            order.push_back(jobs[b++]);
        }
        if (a < kLuns * 3) {
            order.push_back(jobs[a++]);
        }
    }
    ASSERT_GE(order.size(), 100u);

    std::vector<Started> started;
    for (std::size_t i = 0; i < order.size(); ++i) {
        started.push_back(start(order[i].program, order[i].args, static_cast<int>(i)));
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
        Outcome o = finish(started[i]);
        const Job &job = order[i];
        const Path &p = *job.path;
        int def = default_for(p.cp, job.lunref);
        EXPECT_EQ(o.status, 0) << job.args[0] << " " << p.dev << ": " << o.err;
        if (job.program == kCallout) {
            auto it = overrides.find(p.dev);
            bool valid = o.out == std::to_string(def) + "\n" ||
                         (it != overrides.end() && o.out == std::to_string(it->second) + "\n");
            EXPECT_TRUE(valid) << p.dev << " answered '" << o.out << "'";
        } else {
            EXPECT_NE(o.out.find(" " + p.dev + ":" + job.args[3] + "("), std::string::npos)
                << o.out;
        }
    }

    std::vector<ConfRecord> records;
    ASSERT_TRUE(parse_conf(state(), &records)) << state();
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kLuns)) << state();
    for (int i = 0; i < kLuns; ++i) {
        const ConfRecord *rec = nullptr;
        for (const ConfRecord &r : records) {
            if (r.wwid == wwid_of(luns[i])) {
                ASSERT_EQ(rec, nullptr) << "two lines for " << r.wwid;
                rec = &r;
            }
        }
        ASSERT_NE(rec, nullptr) << luns[i].alias;
        EXPECT_EQ(rec->alias, luns[i].alias);
        for (int cp = 0; cp < 4; ++cp) {
            const Path &p = paths[4 * i + cp];
            EXPECT_EQ(rec->dev[cp][0], p.dev);
            EXPECT_EQ(rec->host[cp][0], p.host);
            int prio = rec->prio[cp][0];
            if (cp == 3) {
                // Every path is asked at least once (7 and 32 are coprime).
                EXPECT_EQ(prio, default_for(3, i)) << p.dev;
            } else {
                EXPECT_EQ(prio, overrides[p.dev]) << p.dev << ": override lost";
            }
            for (int slot = 1; slot < 4; ++slot) {
                EXPECT_EQ(rec->prio[cp][slot], 0) << p.dev;
            }
        }
    }
}

}  // namespace
}  // namespace e2e
