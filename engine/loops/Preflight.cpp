#include "engine/loops/Preflight.h"

#include "engine/rules/Judge.h"

Preflight::Preflight(Target target, CheckSettings settings, const DriverFactory& makeDriver, Poster post, Done done)
    : target_(std::move(target)), done_(std::move(done)) {
    Target fetched = target_.forDirect();
    if (target_.page == Target::Page::Echo) {
        // A nonce of this round's in the query, which an echo must show: an echo served from a store, or another
        // request's, is no judge's. Our own Via goes with the fetch: a judge must show it back.
        nonce_ = newNonce();
        target_.url = withNonce(target_.url, nonce_);
        fetched.url = target_.url;
        fetched.sendVia = true;
        fetched.keepEcho = true;
        fetched.judge = std::make_shared<const JudgeBaseline>(JudgeBaseline{nonce_, {}, {}, false});
    }
    target_.digest.clear();  // learnt again
    std::weak_ptr<Preflight*> weak = self_;
    driver_ = makeDriver(std::make_shared<const CheckPlan>(CheckPlan{std::move(fetched), std::move(settings)}),
                         [weak, post](std::vector<DriverReport>&& reports) {
                             post([weak, r = reports.front()] {
                                 if (auto self = weak.lock()) (*self)->onReport(r);
                             });
                         });
    driver_->start(0, "");
}

Preflight::~Preflight() = default;

void Preflight::onReport(const DriverReport& report) {
    const Verdict& v = report.verdict;
    PreflightResult r;
    r.target = target_;
    r.target.directStatus = v.httpStatus;
    r.target.digest = v.digest;
    r.outcome = PreflightResult::Outcome::Refused;
    if (report.outOfDescriptors) {
        r.outcome = PreflightResult::Outcome::Starved;
    } else if (v.reason == Reason::Stopped) {
        r.outcome = PreflightResult::Outcome::Stopped;
    } else if (v.httpStatus && !pageAnswered(v.httpStatus)) {  // an error page may hold any text
        r.problem = PreflightResult::Problem::Answered;
        r.status = *v.httpStatus;
    } else if (v.reason == Reason::NotAJudge) {
        r.problem = PreflightResult::Problem::NotAJudge;
        r.fault = v.echoFault;
    } else if (v.outcome != ProbeOutcome::Working) {
        r.problem = PreflightResult::Problem::Failed;
        r.reason = v.reason;
    } else if (target_.page == Target::Page::Echo) {
        Learnt learnt = learnBaseline(*v.echo, nonce_, machineAddresses());
        r.problem = PreflightResult::Problem::Judge;
        r.judge = std::move(learnt.problem);
        if (learnt.baseline) {
            r.target.judge = std::make_shared<const JudgeBaseline>(std::move(*learnt.baseline));
            r.outcome = PreflightResult::Outcome::Ready;
            r.problem = PreflightResult::Problem::None;
        }
    } else {
        r.outcome = PreflightResult::Outcome::Ready;
    }
    driver_.reset();
    const Done done = std::move(done_);  // it may end this object
    done(std::move(r));
}
