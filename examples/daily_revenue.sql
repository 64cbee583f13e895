-- Nightly load of the revenue mart.
-- Runs after the orders and refunds feeds have landed for the day.

set hive.exec.dynamic.partition.mode = nonstrict;

/* Daily revenue per store and channel; refunds are netted out later
   by the finance job (see finance/refunds.sql; it runs at 04:00). */
insert overwrite table mart.daily_revenue partition (dt = '2024-06-30')
select /*+ mapjoin(st) */
       o.order_date   as sales_date,
       st.store_name,
       st.region,
       o.channel,
       o.gross_amount as revenue        -- before refunds
from   sales.orders o
join   ref.stores st
  on   o.store_id = st.store_id
where  o.order_date = '2024-06-30'
  and  o.status <> 'cancelled;test';    -- a ';' inside quotes ends nothing

-- Keep the last 400 days only.
alter table mart.daily_revenue drop if exists partition (dt < '2023-05-27');
