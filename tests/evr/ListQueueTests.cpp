// The sample lists, the pool and the presentation queue's timing decisions,
// on plain Media Foundation samples and the clock double.
#include "EvrDoubles.h"
#include "EvrFixture.h"
#include "SampleData.h"
#include "SamplePool.h"
#include "Scheduler.h"
#include "mfcommon/linklist.h"

#include <mferror.h>

#include <gtest/gtest.h>

using Microsoft::WRL::ComPtr;

namespace
{
ComPtr<IMFSample> MakeSample(LONGLONG time, LONGLONG duration, LONG number)
{
    ComPtr<IMFSample> sample;
    EXPECT_HRESULT_SUCCEEDED(MFCreateSample(&sample));
    sample->SetSampleTime(time);
    sample->SetSampleDuration(duration);
    ComPtr<SampleData> data;
    data.Attach(new SampleData(TextureData(), number));
    AttachSampleData(sample.Get(), data.Get());
    return sample;
}

LONG StateOf(IMFSample* sample)
{
    return GetSampleData(sample)->GetState();
}

class QueueTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_HRESULT_SUCCEEDED(m_mf.Result());
        m_clock.Attach(new ClockDouble);
        m_queue.SetClock(m_clock.Get());
    }
    void TearDown() override { m_queue.SetClock(nullptr); }

    MfSession m_mf;
    ComPtr<ClockDouble> m_clock;
    SampleQueue m_queue;
};
} // namespace

TEST(ComPtrListTest, HoldsOneReferencePerItemAndHandsItOverOnRemoval)
{
    MfSession mf;
    ComPtr<IMFSample> a = MakeSample(0, 0, 0);
    ComPtr<IMFSample> b = MakeSample(0, 0, 1);
    {
        ComPtrList<IMFSample> list;
        IMFSample* removed = nullptr;
        EXPECT_EQ(E_FAIL, list.RemoveFront(&removed)) << "an empty list has nothing to remove";

        ASSERT_HRESULT_SUCCEEDED(list.InsertBack(a.Get()));
        ASSERT_HRESULT_SUCCEEDED(list.InsertFront(b.Get()));
        EXPECT_EQ(2u, list.GetCount());
        EXPECT_EQ(2u, RefCountOf(a.Get()));

        ASSERT_HRESULT_SUCCEEDED(list.RemoveFront(&removed));
        EXPECT_EQ(b.Get(), removed) << "InsertFront puts the item before the others";
        EXPECT_EQ(2u, RefCountOf(b.Get())) << "the list's reference passed to the caller";
        removed->Release();
        EXPECT_EQ(1u, list.GetCount());
        ASSERT_HRESULT_SUCCEEDED(list.InsertBack(b.Get()));
    }
    EXPECT_EQ(1u, RefCountOf(a.Get())) << "destroying the list drops its references";
    EXPECT_EQ(1u, RefCountOf(b.Get()));
}

TEST(SamplePoolTest, CountsSamplesOutOfThePoolAndRefusesASecondSet)
{
    MfSession mf;
    SamplePool pool;
    ComPtr<IMFSample> sample;
    EXPECT_EQ(MF_E_NOT_INITIALIZED, pool.TakeSample(&sample));
    EXPECT_EQ(0, pool.GetPendingCount());

    ComPtrList<IMFSample> set;
    set.InsertBack(MakeSample(0, 0, 0).Get());
    set.InsertBack(MakeSample(0, 0, 1).Get());
    ASSERT_HRESULT_SUCCEEDED(pool.Initialize(set));
    EXPECT_EQ(0u, set.GetCount()) << "the pool takes the whole list";
    EXPECT_EQ(MF_E_INVALIDREQUEST, pool.Initialize(set));

    ComPtr<IMFSample> first;
    ComPtr<IMFSample> second;
    ASSERT_HRESULT_SUCCEEDED(pool.TakeSample(&first));
    ASSERT_HRESULT_SUCCEEDED(pool.TakeSample(&second));
    EXPECT_EQ(MF_E_SAMPLEALLOCATOR_EMPTY, pool.TakeSample(&sample));
    EXPECT_EQ(2, pool.GetPendingCount());
    ASSERT_HRESULT_SUCCEEDED(pool.GiveBack(first.Get()));
    ASSERT_HRESULT_SUCCEEDED(pool.GiveBack(second.Get()));
    EXPECT_EQ(0, pool.GetPendingCount());

    pool.Clear();
    EXPECT_EQ(MF_E_NOT_INITIALIZED, pool.GiveBack(first.Get()));
    EXPECT_EQ(1u, RefCountOf(first.Get())) << "clearing drops the pool's references";
}

TEST_F(QueueTest, DropsALateSampleButShowsTheLastQueuedOneHoweverLate)
{
    ComPtr<IMFSample> a = MakeSample(400 * kMs, 40 * kMs, 0);
    ComPtr<IMFSample> b = MakeSample(440 * kMs, 40 * kMs, 1);
    m_queue.Enqueue(a.Get(), false);
    m_queue.Enqueue(b.Get(), false);
    EXPECT_EQ(SAMPLE_STATE_QUEUED, StateOf(a.Get()));
    m_clock->SetTime(470 * kMs);

    ComPtr<IMFSample> due = m_queue.TakeDueSample();
    EXPECT_EQ(b.Get(), due.Get());
    EXPECT_EQ(SAMPLE_STATE_DISCARDED, StateOf(a.Get()));
    EXPECT_EQ(1u, RefCountOf(a.Get())) << "the dropped sample is released";
    EXPECT_EQ(0u, m_queue.GetCount());
}

TEST_F(QueueTest, DropsTheMiddleSampleTooWhenAThirdWaitsBehindIt)
{
    ComPtr<IMFSample> a = MakeSample(400 * kMs, 40 * kMs, 0);
    ComPtr<IMFSample> b = MakeSample(440 * kMs, 40 * kMs, 1);
    ComPtr<IMFSample> c = MakeSample(480 * kMs, 40 * kMs, 2);
    m_queue.Enqueue(a.Get(), false);
    m_queue.Enqueue(b.Get(), false);
    m_queue.Enqueue(c.Get(), false);
    m_clock->SetTime(470 * kMs);

    EXPECT_EQ(c.Get(), m_queue.TakeDueSample().Get());
    EXPECT_EQ(SAMPLE_STATE_DISCARDED, StateOf(b.Get()));
}

TEST_F(QueueTest, ShowsALateSampleWhoseSuccessorIsStillEarly)
{
    // A frame lost upstream leaves a gap: the late sample is the only one that can be shown now.
    ComPtr<IMFSample> a = MakeSample(400 * kMs, 40 * kMs, 0);
    ComPtr<IMFSample> b = MakeSample(480 * kMs, 40 * kMs, 1);
    m_queue.Enqueue(a.Get(), false);
    m_queue.Enqueue(b.Get(), false);
    m_clock->SetTime(425 * kMs);

    EXPECT_EQ(a.Get(), m_queue.TakeDueSample().Get());
    EXPECT_EQ(SAMPLE_STATE_QUEUED, StateOf(a.Get()));
    EXPECT_EQ(1u, m_queue.GetCount());
}

TEST_F(QueueTest, KeepsAnEarlySampleQueuedAndShowsItOnceItIsDue)
{
    ComPtr<IMFSample> a = MakeSample(500 * kMs, 40 * kMs, 0);
    m_queue.Enqueue(a.Get(), false);
    m_clock->SetTime(459 * kMs); // 41 ms ahead: more than one duration early
    EXPECT_EQ(nullptr, m_queue.TakeDueSample().Get());
    EXPECT_EQ(1u, m_queue.GetCount());

    m_clock->SetTime(460 * kMs); // exactly one duration ahead
    EXPECT_EQ(a.Get(), m_queue.TakeDueSample().Get());

    ComPtr<IMFSample> late = MakeSample(400 * kMs, 40 * kMs, 1);
    m_queue.Enqueue(late.Get(), false);
    m_clock->SetTime(900 * kMs);
    EXPECT_EQ(late.Get(), m_queue.TakeDueSample().Get()) << "the only queued sample is never dropped";
}

TEST_F(QueueTest, ShowsATimeStampOfZeroAtOnce)
{
    ComPtr<IMFSample> a = MakeSample(0, 40 * kMs, 0);
    ComPtr<IMFSample> b = MakeSample(40 * kMs, 40 * kMs, 1);
    m_queue.Enqueue(a.Get(), false);
    m_queue.Enqueue(b.Get(), false);
    m_clock->SetTime(10000 * kMs);
    EXPECT_EQ(a.Get(), m_queue.TakeDueSample().Get());
}

TEST_F(QueueTest, MirrorsTheEarlyLateTestForANegativeRate)
{
    ComPtr<IMFSample> a = MakeSample(400 * kMs, 40 * kMs, 0);
    ComPtr<IMFSample> b = MakeSample(360 * kMs, 40 * kMs, 1);
    m_queue.Enqueue(a.Get(), false);
    m_queue.Enqueue(b.Get(), false);
    m_queue.SetPlaybackRate(-1.0f);

    m_clock->SetTime(470 * kMs); // 70 ms before the sample in reverse: early
    EXPECT_EQ(nullptr, m_queue.TakeDueSample().Get());
    EXPECT_EQ(2u, m_queue.GetCount());

    m_clock->SetTime(330 * kMs); // reverse play passed a by 70 ms: late, b waits
    EXPECT_EQ(b.Get(), m_queue.TakeDueSample().Get());
    EXPECT_EQ(SAMPLE_STATE_DISCARDED, StateOf(a.Get()));
}

TEST_F(QueueTest, WithoutAClockOrWhenPresentingNowEachSampleReplacesTheQueue)
{
    ComPtr<IMFSample> a = MakeSample(400 * kMs, 40 * kMs, 0);
    ComPtr<IMFSample> b = MakeSample(440 * kMs, 40 * kMs, 1);
    m_queue.Enqueue(a.Get(), false);
    m_queue.Enqueue(b.Get(), true);
    EXPECT_EQ(1u, m_queue.GetCount());
    EXPECT_EQ(b.Get(), m_queue.TakeDueSample().Get()) << "shown now, though 440 ms ahead of the standing clock";

    m_queue.SetClock(nullptr);
    ComPtr<IMFSample> c = MakeSample(900 * kMs, 40 * kMs, 2);
    m_queue.Enqueue(c.Get(), false);
    EXPECT_EQ(1u, m_queue.GetCount());
    EXPECT_EQ(c.Get(), m_queue.TakeDueSample().Get());
    EXPECT_EQ(1u, RefCountOf(b.Get()));
}
